#pragma once
// The message beyond the original switch set: copy and envelope-only
// recipients and a reply address (/CC, /RCPT, /REPLYTO, each by whole
// name), and what the program adds to every message: its date and
// identifier, the charsets its text, subject and file names are in, the
// subject read from the wide command line under UTF-8, no byte-order marks,
// the sender's display name apart from its mailbox.

#include <functional>
#include <string>
#include <string_view>

#include "cmdline/CmdLineParser.h"
#include "smtp/Qxsmtp.h"

/// Tells the run (/V and the log) what it does on its own.
using TRunNote = std::function<void(const std::string& note)>;

/// Fills smtp's message from /CC:file (ToCarbonCopy), /RCPT:file
/// (ToBlindCarbonCopy) and /REPLYTO:address (ReplyTo); splits a sender
/// "Name <box>" into FromName and FromAddress; drops a UTF-8 byte-order
/// mark at the start of the body and of every list; without /CS sets
/// Charset to UTF-8 when the body and the subject (where its bytes are the
/// ones sent) are UTF-8 with text outside ASCII; sets SubjectCharset
/// (KOI8-R with /SK, the OEM page's with /SD) and, when a name needs it,
/// FileNameCharset; with a UTF-8 Charset and neither /SD nor /SK takes the
/// subject from the system's UTF-16 command line where it has one; stamps
/// Date and MessageId. With /FH it embeds the images the HTML shows from
/// the body file's folder and below (links resolved) and tells note of
/// each file it embeds or leaves as a reference. Runs after the original
/// switches are read. Raises EMailException for a /CC or /RCPT file that
/// does not exist, a /REPLYTO without a mail address or with a line break,
/// an image in the body file's folder that cannot be read; Exception when
/// the system gives no random bytes.
void ApplyMessageSwitches(const TCmdLineParser& cmd, TQxSMTP& smtp, const TRunNote& note);

/// Loads list from the file that switch name of cmd names; raises
/// EMailException with missingMessage (the name in place of %s) when there
/// is no such file.
/// " The value of /B was cut at ...", the hint for a failure that follows
/// from a value a "-" cut short; empty when name's value is whole.
std::string CutHint(const TCmdLineParser& cmd, const char* name);

void LoadNamedList(const TCmdLineParser& cmd, const char* name, TStringList& list, std::string_view missingMessage);

/// True when charset names UTF-8 ("UTF-8" or "UTF8", any case).
bool IsUtf8Charset(const std::string& charset);
