#include "main/MessageSwitches.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "cmdline/CommandLine.h"
#include "encoding/Charsets.h"
#include "encoding/HeaderWords.h"
#include "main/MailException.h"
#include "main/SwitchValues.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "smtp/MessageStamp.h"

namespace {

using header_words::IsAscii;

constexpr std::string_view kMissingCopies = "Missing copy recipients address list. (File %s not found).";
constexpr std::string_view kMissingEnvelopeRecipients =
    "Missing envelope recipients address list. (File %s not found).";
constexpr std::string_view kNoReplyAddress = "The value of switch /REPLYTO, \"%s\", is no mail address.";
constexpr std::string_view kKoi8rCharset = "KOI8-R";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string ReplyAddress(const TCmdLineParser& cmd) {
  // Without a value the parser gives the switch's own name.
  const std::string value = cmd.GetParamValue("REPLYTO");
  RefuseLineBreaks("REPLYTO", value);
  if (value == "REPLYTO" || TQxSMTP::ExtractAddress(value).find('@') == std::string::npos) {
    throw EMailException(FillPlaceholder(kNoReplyAddress, value));
  }
  return value;
}

/// The subject as the UTF-16 command line has it, when the parser reads
/// this process's own arguments and the system keeps such a line (Windows):
/// its ANSI reading loses every character the ANSI code page lacks.
std::optional<std::string> WideSubject(const TCmdLineParser& cmd) {
  const std::optional<std::string> line = platform::Utf8CommandLine();
  if (!line || cmd.Arguments() != ProcessArguments()) return std::nullopt;
  // Switch characters, blanks and quotes are ASCII: the tokens are the ANSI
  // reading's, one for one.
  TCmdLineParser wide(nullptr);
  wide.SetSwitchChars(cmd.SwitchChars());
  wide.SetIncludeSwitchChars(cmd.IncludeSwitchChars());
  wide.SetArgumentSource([&line] { return ArgumentsFromCommandLine(*line, platform::ModuleFileName()); });
  wide.Parse();
  if (!wide.ParamExists("S")) return std::nullopt;
  return wide.GetParamValue("S");
}

void DropByteOrderMark(TStringList& list) {
  if (list.Count() > 0 && std::string_view(list[0]).substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    list.Put(0, list[0].substr(kByteOrderMark.size()));
  }
}

/// A sender written as "Name <box>": the name for From:, the box alone for
/// MAIL FROM.
void SplitSender(TPostMessage& message) {
  const std::size_t bracket = message.FromAddress.find('<');
  if (bracket == std::string::npos) return;
  message.FromName = message.FromAddress.substr(0, bracket);
  message.FromAddress = TQxSMTP::ExtractAddress(message.FromAddress);
}

/// True when the body, and the subject where it counts, are UTF-8 with some
/// text outside ASCII: text that any other label would garble.
bool WrittenInUtf8(TPostMessage& message, bool subjectCounts) {
  bool outsideAscii = false;
  if (subjectCounts && !IsAscii(message.Subject)) {
    if (!charsets::IsUtf8(message.Subject)) return false;
    outsideAscii = true;
  }
  for (const std::string& line : message.Body().Items()) {
    if (IsAscii(line)) continue;
    if (!charsets::IsUtf8(line)) return false;
    outsideAscii = true;
  }
  return outsideAscii;
}

}  // namespace

bool IsUtf8Charset(const std::string& charset) {
  return platform::AnsiCompareText(charset, "UTF-8") == 0 || platform::AnsiCompareText(charset, "UTF8") == 0;
}

void ApplyMessageSwitches(const TCmdLineParser& cmd, TQxSMTP& smtp) {
  TPostMessage& message = smtp.PostMessage();
  if (cmd.ParamExistsExactly("CC")) LoadNamedList(cmd, "CC", message.ToCarbonCopy(), kMissingCopies);
  if (cmd.ParamExistsExactly("RCPT")) {
    LoadNamedList(cmd, "RCPT", message.ToBlindCarbonCopy(), kMissingEnvelopeRecipients);
  }
  if (cmd.ParamExistsExactly("REPLYTO")) message.ReplyTo = ReplyAddress(cmd);
  SplitSender(message);
  for (TStringList* list : {&message.Body(), &message.ToAddress(), &message.ToCarbonCopy(),
                            &message.ToBlindCarbonCopy(), &message.Attachments()}) {
    DropByteOrderMark(*list);
  }

  const bool koi8r = cmd.ParamExists("SK");
  const bool oem = cmd.ParamExists("SD");
  std::optional<std::string> wideSubject = koi8r || oem ? std::nullopt : WideSubject(cmd);
  // The subject's bytes tell of its charset only when they are the ones sent.
  if (!cmd.ParamExists("CS") && WrittenInUtf8(message, !koi8r && !oem && !wideSubject)) {
    smtp.Charset = std::string(charsets::kUtf8.name);
  }
  if (koi8r) {
    smtp.SubjectCharset = std::string(kKoi8rCharset);
  } else if (oem) {
    smtp.SubjectCharset = platform::OemCharsetName();
  } else if (wideSubject && IsUtf8Charset(smtp.Charset)) {
    RefuseLineBreaks("S", *wideSubject);
    message.Subject = std::move(*wideSubject);
  }
  // Only a name outside ASCII needs the label, and asking for it loads the
  // locale's tables on POSIX (about a millisecond).
  const std::vector<std::string>& attachments = message.Attachments().Items();
  if (!std::all_of(attachments.begin(), attachments.end(), [](const std::string& e) { return IsAscii(e); })) {
    smtp.FileNameCharset = platform::FileNameCharsetName();
  }
  message.Date = DateValue(platform::LocalNow());
  message.MessageId = NewMessageId(MessageIdDomain(message.FromAddress));
}

void LoadNamedList(const TCmdLineParser& cmd, const char* name, TStringList& list, std::string_view missingMessage) {
  const std::string path = cmd.GetParamValue(name);
  if (!platform::FileExists(path)) throw EMailException(FillPlaceholder(missingMessage, path));
  list.LoadFromFile(path);
}
