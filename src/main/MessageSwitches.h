#pragma once
// The message beyond the original switch set: copy and envelope-only
// recipients and a reply address (/CC, /RCPT, /REPLYTO, each by whole
// name), and what the program adds to every message: its date and
// identifier, the charsets its text, subject, names and file names are in
// (the command line's text read from the wide command line where there is
// one), no byte-order marks, the sender's display name apart from its
// mailbox.

#include <functional>
#include <memory>
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
/// FileNameCharset. Where the command line's charset (SystemCharsetName)
/// is not Charset, the subject (without /SD and /SK) and the names of the
/// sender and the reply address, where outside ASCII, come from the
/// system's UTF-16 command line in UTF-8 where it has one, and
/// SubjectCharset and NameCharset name the charset they are in (the command
/// line's, where it holds their bytes). Stamps Date and MessageId. With /FH
/// it embeds the images the HTML shows from the body file's folder and below
/// (links resolved) and tells note of each file it embeds or leaves as a
/// reference. Runs after the original switches are read. Raises
/// EMailException for a /CC or /RCPT file that does not exist, a /REPLYTO
/// without a mail address or with a line break, an image in the body file's
/// folder that cannot be read; Exception when the system gives no random
/// bytes.
void ApplyMessageSwitches(const TCmdLineParser& cmd, TQxSMTP& smtp, const TRunNote& note);

/// Loads list from the file that switch name of cmd names; raises
/// EMailException with missingMessage (the name in place of %s) when there
/// is no such file.
/// " The value of /B was cut at ...", the hint for a failure that follows
/// from a value a "-" cut short; empty when name's value is whole.
std::string CutHint(const TCmdLineParser& cmd, const char* name);

void LoadNamedList(const TCmdLineParser& cmd, const char* name, TStringList& list, std::string_view missingMessage);

/// A parser over the process's UTF-16 command line in UTF-8, set up as cmd
/// is and parsed, where cmd reads this process's own arguments and the
/// system keeps such a line (Windows): the ANSI reading loses every
/// character the ANSI code page lacks. Null elsewhere.
std::unique_ptr<TCmdLineParser> WideParser(const TCmdLineParser& cmd);
