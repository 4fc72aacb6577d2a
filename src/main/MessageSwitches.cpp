#include "main/MessageSwitches.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "cmdline/CommandLine.h"
#include "encoding/Charsets.h"
#include "encoding/HeaderWords.h"
#include "encoding/HtmlText.h"
#include "main/MailException.h"
#include "main/SwitchValues.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "smtp/Mailbox.h"
#include "smtp/MediaTypes.h"
#include "smtp/MessageStamp.h"
#include "smtp/MessageText.h"

namespace {

using header_words::IsAscii;

constexpr std::string_view kMissingCopies = "Missing copy recipients address list. (File %s not found).";
constexpr std::string_view kMissingEnvelopeRecipients =
    "Missing envelope recipients address list. (File %s not found).";
constexpr std::string_view kMissingAlternative = "Missing text alternative. (File %s not found).";
constexpr std::string_view kUnreadableImage = "The image %s that the HTML body shows cannot be read.";
constexpr std::string_view kImageEmbedded = "the HTML body's image %s goes with the message";
constexpr std::string_view kImageOutside =
    "the HTML body's image %s stays a reference: it is %s, outside the body file's folder";
constexpr std::string_view kImageNoImage = "the HTML body's image %s stays a reference: it is no image file";
constexpr std::string_view kCutHint = " The value of /%s was cut at \"-\": write /ES first to keep it whole.";
constexpr std::string_view kKoi8rCharset = "KOI8-R";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string ReplyAddress(const TCmdLineParser& cmd) {
  // Without a value the parser gives the switch's own name, which is no address either.
  const std::string value = cmd.GetParamValue("REPLYTO");
  RefuseLineBreaks("REPLYTO", value);
  RefuseNoMailAddress("REPLYTO", value, CutHint(cmd, "REPLYTO"));
  return value;
}

/// The charset of the text that the command line holds (the locale's, the
/// ANSI code page on Windows), where it is not the message's charset;
/// empty where it is, and that label holds it already.
std::string TypedCharset(const std::string& charset) {
  const std::string typed = platform::SystemCharsetName();
  const std::optional<charsets::TCharset> known = charsets::Known(typed);
  const std::optional<charsets::TCharset> message = charsets::Known(charset);
  if (known && message && known->name == message->name) return {};
  return platform::AnsiCompareText(typed, charset) == 0 ? std::string() : typed;
}

/// True when text is text in the charset named charset; false for a charset
/// not known here.
bool WrittenIn(const std::string& text, const std::string& charset) {
  const std::optional<charsets::TCharset> known = charsets::Known(charset);
  if (!known) return false;
  if (known->name == charsets::kUtf8.name) return charsets::IsUtf8(text);
  return platform::ConvertToUtf8(text, std::string(known->name).c_str(), known->codePage).has_value();
}

/// The charset to label texts of the command line with (the subject, or
/// the sender's and reply address's names), which are typed in typed, not
/// in the message's charset: UTF-8 for the texts of the UTF-16 command line
/// (wide, which replace them), else typed where the texts are text in it;
/// empty (the message's charset, the best guess left) for texts of ASCII
/// and for bytes that typed does not hold.
std::string TypedTextCharset(const std::vector<std::pair<std::string*, std::optional<std::string>>>& texts,
                             const std::string& typed) {
  // The ANSI reading of a character the ANSI code page lacks is a "?".
  if (std::all_of(texts.begin(), texts.end(), [](const auto& text) {
        return IsAscii(*text.first) && (!text.second || IsAscii(*text.second));
      })) {
    return {};
  }
  if (std::all_of(texts.begin(), texts.end(), [](const auto& text) { return text.second.has_value(); })) {
    for (const auto& [text, wide] : texts) *text = *wide;
    return std::string(charsets::kUtf8.name);
  }
  const bool held = std::all_of(texts.begin(), texts.end(),
                                [&](const auto& text) { return IsAscii(*text.first) || WrittenIn(*text.first, typed); });
  return held ? typed : std::string();
}

/// value of switch name in parser, where it gives one; nullopt otherwise
/// (and always without parser).
std::optional<std::string> ValueIn(const TCmdLineParser* parser, const char* name, bool exactly = false) {
  if (parser == nullptr || !(exactly ? parser->ParamExistsExactly(name) : parser->ParamExists(name))) {
    return std::nullopt;
  }
  return parser->GetParamValue(name);
}

void DropByteOrderMark(TStringList& list) {
  if (list.Count() > 0 && std::string_view(list[0]).substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    list.Put(0, list[0].substr(kByteOrderMark.size()));
  }
}

/// The display name of a sender written as "Name <box>"; empty for another.
std::string SenderName(const std::string& sender) {
  const std::size_t bracket = sender.find('<');
  return bracket == std::string::npos ? std::string() : sender.substr(0, bracket);
}

/// A sender written as "Name <box>": the name for From:, the box alone for
/// MAIL FROM.
void SplitSender(TPostMessage& message) {
  const std::size_t bracket = message.FromAddress.find('<');
  if (bracket == std::string::npos) return;
  message.FromName = SenderName(message.FromAddress);
  message.FromAddress = mailbox::Extract(message.FromAddress);
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

/// text, in the charset named charset, as UTF-8; a byte of a sequence that
/// is no character there as "?".
std::string InUtf8(const std::string& text, const std::string& charset) {
  const std::optional<charsets::TCharset> known = charsets::Known(charset);
  if (IsAscii(text) || (known && known->name == charsets::kUtf8.name && charsets::IsUtf8(text))) return text;
  if (known && known->name != charsets::kUtf8.name) {
    if (std::optional<std::string> converted =
            platform::ConvertToUtf8(text, std::string(known->name).c_str(), known->codePage)) {
      return *converted;
    }
  }
  std::string ascii = text;
  for (char& c : ascii) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return ascii;
}

/// The folder part of path, its separator included; empty for a bare name.
std::string FolderOf(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

/// The file that an image source names by a path relative to folder; none
/// for a URL ("https:", "cid:", "data:" ...), an absolute path or a
/// fragment.
std::optional<std::string> ImageFile(const std::string& source, const std::string& folder) {
  const std::size_t colon = source.find(':');
  if (source.empty() || source.front() == '/' || source.front() == '\\' || source.front() == '#' ||
      (colon != std::string::npos && colon < source.find('/'))) {
    return std::nullopt;
  }
  return folder + source;
}

/// True when path lies in folder or below it (both final paths).
bool Inside(const std::string& path, const std::string& folder) {
  const auto separator = [](char c) { return c == '/' || c == '\\'; };
  return path.size() > folder.size() && path.starts_with(folder) &&
         (separator(folder.back()) || separator(path[folder.size()]));
}

/// Decides, once for each source that an HTML body names, whether the
/// image goes with the message (then its "cid:" address) or stays a
/// reference. Only an image file (by its name or its first bytes) that
/// lies in the body file's folder or below it, links resolved, goes: HTML
/// that shows outside text (a log, a ticket) must not mail the job's keys.
/// Tells the run of each file it embeds or leaves.
class TImageSources {
 public:
  TImageSources(std::string folder, std::string idEnd, std::vector<TInlineImage>& images, const TRunNote& note)
      : folder_(std::move(folder)), idEnd_(std::move(idEnd)), images_(images), note_(note) {}

  std::optional<std::string> Replacement(const std::string& source) {
    auto decided = decided_.find(source);
    if (decided == decided_.end()) decided = decided_.emplace(source, Decided(source)).first;
    return decided->second;
  }

 private:
  std::optional<std::string> Decided(const std::string& source) {
    const std::optional<std::string> path = ImageFile(source, folder_);
    if (!path) return std::nullopt;
    const std::optional<std::string> file = platform::FinalPath(*path);
    if (!file) throw EMailException(FillPlaceholder(kUnreadableImage, *path));
    if (!finalFolder_) finalFolder_ = platform::FinalPath(folder_.empty() ? "." : folder_).value_or("");
    if (finalFolder_->empty() || !Inside(*file, *finalFolder_)) {
      if (told_.insert(*file).second) note_(FillPlaceholder(FillPlaceholder(kImageOutside, *path), *file));
      return std::nullopt;
    }
    auto same = std::find_if(images_.begin(), images_.end(), [&](const TInlineImage& i) { return i.Path == *file; });
    if (same == images_.end()) {
      const std::string_view type = ImageType(*path, *file);
      if (type.empty()) {
        if (told_.insert(*file).second) note_(FillPlaceholder(kImageNoImage, *path));
        return std::nullopt;
      }
      images_.push_back({*file, "image" + std::to_string(images_.size() + 1) + "." + idEnd_, std::string(type)});
      note_(FillPlaceholder(kImageEmbedded, *file));
      same = images_.end() - 1;
    }
    return "cid:" + same->ContentId;
  }

  /// The image type of file, which path names: by its name's extension,
  /// else by its first bytes; empty for no image. Raises for a file that
  /// cannot be read.
  static std::string_view ImageType(const std::string& path, const std::string& file) {
    const platform::FileHandle handle = platform::OpenFileForRead(file, platform::FileShare::kDenyWrite);
    if (handle == platform::kInvalidFile) throw EMailException(FillPlaceholder(kUnreadableImage, path));
    char head[media_types::kImageSignatureBytes];
    const std::int64_t read = platform::ReadFile(handle, head, sizeof head);
    platform::CloseFile(handle);
    if (read < 0) throw EMailException(FillPlaceholder(kUnreadableImage, path));
    const std::string_view named = media_types::MediaTypeOf(smtp_text::AttachmentFileName(file));
    if (media_types::IsImage(named)) return named;
    return media_types::ImageTypeOfContent(std::string_view(head, static_cast<std::size_t>(read)));
  }

  std::string folder_;                       // the body file's, as its path has it ("" for the working folder)
  std::optional<std::string> finalFolder_;  // its final path, once needed ("" when it has none)
  std::string idEnd_;
  std::vector<TInlineImage>& images_;
  const TRunNote& note_;
  std::map<std::string, std::optional<std::string>> decided_;  // by source
  std::set<std::string> told_;                                 // files told of as left
};

/// An HTML body: the images it names by relative path in the body file's
/// folder go with it, shown by Content-ID; its plain text (/PLAINTEXT's,
/// else made from the HTML) goes beside it, in UTF-8.
void ApplyHtmlSwitches(const TCmdLineParser& cmd, TQxSMTP& smtp, const TRunNote& note) {
  TPostMessage& message = smtp.PostMessage();
  std::string html;
  for (const std::string& line : message.Body().Items()) html += line + "\n";
  const std::string folder = cmd.ParamExists("B") ? FolderOf(cmd.GetParamValue("B")) : std::string();
  // The identifiers borrow the message's: unique wherever it is.
  const std::string idEnd = message.MessageId.substr(1, message.MessageId.size() - 2);
  TImageSources sources(folder, idEnd, message.InlineImages, note);
  const std::string rewritten =
      html_text::WithImageSources(html, [&](const std::string& source) { return sources.Replacement(source); });
  if (!message.InlineImages.empty()) message.Body().SetText(rewritten);

  TStringList& alternative = message.Alternative();
  if (cmd.ParamExistsExactly("PLAINTEXT")) {
    LoadNamedList(cmd, "PLAINTEXT", alternative, kMissingAlternative);
    DropByteOrderMark(alternative);
    for (int i = 0; i < alternative.Count(); ++i) alternative.Put(i, InUtf8(alternative[i], smtp.Charset));
    return;
  }
  for (const std::string& line : html_text::PlainText(InUtf8(html, smtp.Charset))) alternative.Add(line);
}

}  // namespace

std::unique_ptr<TCmdLineParser> WideParser(const TCmdLineParser& cmd) {
  const std::optional<std::string> line = platform::Utf8CommandLine();
  if (!line || cmd.Arguments() != ProcessArguments()) return nullptr;
  // Switch characters, blanks and quotes are ASCII: the tokens are the ANSI
  // reading's, one for one.
  auto wide = std::make_unique<TCmdLineParser>(nullptr);
  wide->SetSwitchChars(cmd.SwitchChars());
  wide->SetIncludeSwitchChars(cmd.IncludeSwitchChars());
  wide->SetArgumentSource([line = *line] { return ArgumentsFromCommandLine(line, platform::ModuleFileName()); });
  wide->Parse();
  return wide;
}

void ApplyMessageSwitches(const TCmdLineParser& cmd, TQxSMTP& smtp, const TRunNote& note) {
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
  const std::unique_ptr<TCmdLineParser> wide = WideParser(cmd);
  // The subject's bytes tell of its charset only when they are the ones sent.
  if (!cmd.ParamExists("CS") && WrittenInUtf8(message, !koi8r && !oem && !wide)) {
    smtp.Charset = std::string(charsets::kUtf8.name);
  }
  if (koi8r) {
    smtp.SubjectCharset = std::string(kKoi8rCharset);
  } else if (oem) {
    smtp.SubjectCharset = platform::OemCharsetName();
  }
  // Text typed on the command line is in the command line's charset, which
  // need not be the body file's: a label of the body's would garble it.
  if (const std::string typed = TypedCharset(smtp.Charset); !typed.empty()) {
    if (!koi8r && !oem) {
      smtp.SubjectCharset = TypedTextCharset({{&message.Subject, ValueIn(wide.get(), "S")}}, typed);
      RefuseLineBreaks("S", message.Subject);
    }
    const std::optional<std::string> wideSender = ValueIn(wide.get(), "F");
    std::vector<std::pair<std::string*, std::optional<std::string>>> names = {
        {&message.FromName, wideSender ? std::optional(SenderName(*wideSender)) : std::nullopt}};
    if (!message.ReplyTo.empty()) names.push_back({&message.ReplyTo, ValueIn(wide.get(), "REPLYTO", true)});
    smtp.NameCharset = TypedTextCharset(names, typed);
  }
  // Only a name outside ASCII needs the label, and asking for it loads the
  // locale's tables on POSIX (about a millisecond).
  const std::vector<std::string>& attachments = message.Attachments().Items();
  if (!std::all_of(attachments.begin(), attachments.end(), [](const std::string& e) { return IsAscii(e); })) {
    smtp.FileNameCharset = platform::SystemCharsetName();
  }
  message.Date = DateValue(platform::LocalNow());
  message.MessageId = NewMessageId(MessageIdDomain(message.FromAddress));
  if (smtp.SubType == mtHtml) ApplyHtmlSwitches(cmd, smtp, note);
}

std::string CutHint(const TCmdLineParser& cmd, const char* name) {
  return cmd.ValueCut(name) ? FillPlaceholder(kCutHint, name) : std::string();
}

void LoadNamedList(const TCmdLineParser& cmd, const char* name, TStringList& list, std::string_view missingMessage) {
  const std::string path = cmd.GetParamValue(name);
  if (!platform::FileExists(path)) throw EMailException(FillPlaceholder(missingMessage, path) + CutHint(cmd, name));
  list.LoadFromFile(path);
}
