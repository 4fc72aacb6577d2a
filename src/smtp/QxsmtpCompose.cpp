// Composition of the SMTP client: FinalHeader from the message record, and
// the body stream with the body text (an HTML one beside its plain text and
// its images) and one encoded part per attachment.

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "core/Exceptions.h"
#include "encoding/Charsets.h"
#include "encoding/HeaderWords.h"
#include "encoding/QuotedPrintable.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "smtp/HeaderFields.h"
#include "smtp/MediaTypes.h"
#include "smtp/MessageText.h"
#include "smtp/MimeBoundary.h"
#include "smtp/PartEncoders.h"
#include "smtp/Qxsmtp.h"

using header_words::IsAscii;
using smtp_text::AppendDataLine;
using smtp_text::AttachmentFileName;
using smtp_text::kCrLf;

namespace {

// Header and body texts.
constexpr std::string_view kTextContentTypes[] = {
    "Content-Type: text/plain; charset=",                 // mtPlain
    "Content-Type: text/enriched; charset=",              // mtEnriched
    "Content-Type: text/sgml; charset=",                  // mtSgml
    "Content-Type: text/tab-separated-values; charset=",  // mtTabSeperated
    "Content-Type: text/html; charset=",                  // mtHtml
};
constexpr std::string_view kTextPartContentType = "Content-Type: text/plain; charset=";
constexpr std::string_view kMimeVersion = "MIME-Version: 1.0";
constexpr std::string_view kToPrefix = "To: ";
constexpr std::string_view kCcPrefix = "CC: ";
/// Draws of a message's boundaries before composing gives up: with random
/// boundaries a second draw already meets a line of the text by chance
/// alone once in 2^128.
constexpr int kBoundaryDraws = 8;
constexpr std::string_view kNoFreeBoundary =
    "No MIME boundary could be drawn that the message's text does not hold already";
constexpr std::string_view kAttachmentDisposition = "Content-Disposition: attachment; filename";
constexpr std::string_view kInlineDisposition = "Content-Disposition: inline; filename";
// The text's transfer encoding, by TextEncoding; as written it has no line.
constexpr std::string_view kTextTransferEncodings[] = {
    "",
    "Content-Transfer-Encoding: 8bit",
    "Content-Transfer-Encoding: quoted-printable",
};
// An attachment's transfer encoding where it is not the line encoding's.
constexpr std::string_view kQuotedPrintableEncoding = "Content-Transfer-Encoding: quoted-printable";
constexpr std::string_view kSevenBitEncoding = "Content-Transfer-Encoding: 7bit";
// A part of uuencode lines is labelled as such: calling it base64 would make
// every reader decode it into garbage.
constexpr std::string_view kTransferEncodings[] = {
    "Content-Transfer-Encoding: base64",      // uuMime
    "Content-Transfer-Encoding: x-uuencode",  // uuCode
};

void WriteBytes(TStream& stream, std::string_view text) {
  stream.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

/// name between double quotes; a quote inside is escaped so that it cannot
/// end the parameter early.
std::string Quoted(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

/// Room for what follows the text without a new block: the next part's
/// header or the closing line.
constexpr std::int64_t kPartOverhead = 512;

/// A message's 7bit lines, watched for a line that a reader would take for
/// one of the message's boundary lines.
class TWatchedMessageLines : public part_encoders::TSevenBitLines {
 public:
  explicit TWatchedMessageLines(std::vector<std::string> boundaries) : watch_(std::move(boundaries)) {}
  void Encode(std::string_view block, bool last, std::string& out) override {
    watch_.Feed(block);
    TSevenBitLines::Encode(block, last, out);
  }
  void Restart() override {
    watch_.Restart();
    TSevenBitLines::Restart();
  }
  /// True when the file read since Restart holds such a line.
  bool Delimited() const { return watch_.Found(); }

 private:
  mime_boundary::TDelimiterWatch watch_;
};

/// Calls line for every line of text in entry: line breaks inside it (CR
/// LF, CR, LF) make several lines, so that no bare line end can reach the
/// data stream.
template <typename LineHandler>
void ForEachLineOf(const std::string& entry, LineHandler line) {
  // Lines read from a file hold no line break: one quick look for each kind.
  if (std::memchr(entry.data(), '\n', entry.size()) == nullptr &&
      std::memchr(entry.data(), '\r', entry.size()) == nullptr) {
    line(std::string_view(entry));
    return;
  }
  size_t start = 0;
  for (;;) {
    const size_t end = entry.find_first_of("\r\n", start);
    line(std::string_view(entry).substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + (entry.compare(end, 2, kCrLf) == 0 ? 2 : 1);
  }
}

/// Calls line for every line of the body text, an entry being a line.
template <typename LineHandler>
void ForEachTextLine(const std::vector<std::string>& body, LineHandler line) {
  for (const std::string& entry : body) ForEachLineOf(entry, line);
}

}  // namespace

void TQxSMTP::ComposeMessage() {
  textEncoding_ = ChosenTextEncoding(post_message_.Body());
  alternativeEncoding_ = ChosenTextEncoding(post_message_.Alternative());
  // Text that goes as it is was read through when its part was written; a
  // line of it that a reader would take for a boundary line (a pasted or
  // attached message) makes the boundaries be drawn anew.
  for (int draw = 1;; ++draw) {
    boundaryMet_ = false;
    ComposeHeader();
    ComposeBody();
    if (!boundaryMet_) return;
    if (draw == kBoundaryDraws) throw Exception(std::string(kNoFreeBoundary));
  }
}

std::string TQxSMTP::NewBoundary() {
  std::string boundary = DrawBoundary();
  // A nested part's boundary line must not begin as an outer one's either.
  for (const std::string& drawn : boundaries_) {
    if (boundary.starts_with(drawn) || drawn.starts_with(boundary)) boundaryMet_ = true;
  }
  boundaries_.push_back(boundary);
  return boundary;
}

bool TQxSMTP::HasAlternative() {
  return SubType == mtHtml && (post_message_.Alternative().Count() > 0 || !post_message_.InlineImages.empty());
}

TQxSMTP::TextEncoding TQxSMTP::ChosenTextEncoding(const TStringList& text) const {
  // Relays break longer lines: the first one settles it.
  bool eightBit = false;
  for (const std::string& entry : text.Items()) {
    bool tooLong = false;
    if (entry.size() > header_fields::kLongestLine) {
      ForEachLineOf(entry, [&](std::string_view line) {
        tooLong = tooLong || line.size() > header_fields::kLongestLine;
      });
    }
    if (tooLong) return TextEncoding::kQuotedPrintable;
    eightBit = eightBit || !IsAscii(entry);  // line breaks are ASCII: the entry tells for its lines
  }
  // 8-bit text may only go to a server that said it takes it; after HELO
  // nothing is known, and undeclared 8-bit text may lose its eighth bit.
  if (!eightBit) return TextEncoding::kAsWritten;
  return capabilities_.Extended && capabilities_.EightBitMime ? TextEncoding::kEightBit
                                                              : TextEncoding::kQuotedPrintable;
}

void TQxSMTP::ComposeHeader() {
  TPostMessage& m = post_message_;
  final_header_.Clear();
  const std::string& nameCharset = NameCharset.empty() ? Charset : NameCharset;
  std::string fromName = header_fields::Phrase(m.FromName, nameCharset);
  if (!fromName.empty()) fromName += ' ';
  final_header_.Add("From: " + fromName + "<" + m.FromAddress + ">");
  AddRecipientLine(std::string(kToPrefix), m.ToAddress());
  AddRecipientLine(std::string(kCcPrefix), m.ToCarbonCopy());
  if (!m.Subject.empty()) {
    AddLines(header_fields::TextLines("Subject: ", m.Subject, SubjectCharset.empty() ? Charset : SubjectCharset));
  }
  final_header_.SetFieldValue("X-Mailer", m.LocalProgram);
  if (!m.ReplyTo.empty()) AddLines(header_fields::AddressLines("Reply-To: ", {m.ReplyTo}, nameCharset));
  if (!m.Date.empty()) final_header_.SetFieldValue("Date", m.Date);
  if (!m.MessageId.empty()) final_header_.SetFieldValue("Message-ID", m.MessageId);
  final_header_.Add(std::string(kMimeVersion));
  boundaries_.clear();
  const bool mixed = m.Attachments().Count() > 0;
  if (mixed) {
    boundary_ = NewBoundary();
    final_header_.Add(MultipartLine("mixed", boundary_));
  }
  if (HasAlternative()) {
    alternativeBoundary_ = NewBoundary();
    if (!m.InlineImages.empty()) relatedBoundary_ = NewBoundary();
    if (!mixed) final_header_.Add(MultipartLine("alternative", alternativeBoundary_));
  } else if (!mixed) {
    if (SubType >= std::size(kTextContentTypes)) throw ERangeError();
    final_header_.Add(std::string(kTextContentTypes[SubType]) + Charset);
    if (textEncoding_ != TextEncoding::kAsWritten) {
      final_header_.Add(std::string(kTextTransferEncodings[static_cast<size_t>(textEncoding_)]));
    }
  }
}

void TQxSMTP::AddRecipientLine(const std::string& prefix, const TStringList& list) {
  AddLines(RecipientLines(prefix, list));
}

std::vector<std::string> TQxSMTP::RecipientLines(const std::string& prefix, const TStringList& list) const {
  if (list.Count() == 0) return {};
  return header_fields::AddressLines(prefix, list.Items(), Charset);
}

std::size_t TQxSMTP::RecipientLinesSize() {
  std::size_t size = 0;
  for (const auto& [prefix, list] : {std::pair{kToPrefix, &post_message_.ToAddress()},
                                     std::pair{kCcPrefix, &post_message_.ToCarbonCopy()}}) {
    for (const std::string& line : RecipientLines(std::string(prefix), *list)) size += line.size() + kCrLf.size();
  }
  return size;
}

void TQxSMTP::AddLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) final_header_.Add(line);
}

void TQxSMTP::ComposeBody() {
  body_stream_.Clear();
  const TStringList& attachments = post_message_.Attachments();
  const bool alternative = HasAlternative();
  if (attachments.Count() == 0) {
    if (alternative) {
      WriteAlternative();
    } else {
      WriteText(post_message_.Body(), textEncoding_);
    }
    return;
  }
  if (alternative) {
    WriteBytes(body_stream_, "--" + boundary_ + "\r\n" + MultipartLine("alternative", alternativeBoundary_) + "\r\n\r\n");
    WriteAlternative();
  } else {
    WriteBytes(body_stream_, "--" + boundary_ + "\r\n" + TextPartHeader(kTextPartContentType, Charset, textEncoding_));
    WriteText(post_message_.Body(), textEncoding_);
  }
  // Re-read: an encode handler may change the list.
  for (int index = 1; index <= attachments.Count(); ++index) EncodeAttachment(index);
  WriteBytes(body_stream_, "--" + boundary_ + "--\r\n");
}

std::string TQxSMTP::MultipartLine(std::string_view subtype, const std::string& boundary) {
  return "Content-Type: multipart/" + std::string(subtype) + "; boundary=\"" + boundary + "\"";
}

std::string TQxSMTP::TextPartHeader(std::string_view contentType, std::string_view charset, TextEncoding encoding) {
  std::string header = std::string(contentType) + std::string(charset) + "\r\n";
  if (encoding != TextEncoding::kAsWritten) {
    header += std::string(kTextTransferEncodings[static_cast<size_t>(encoding)]) + "\r\n";
  }
  return header + "\r\n";
}

void TQxSMTP::WriteAlternative() {
  // Readers show the last alternative they can: the HTML, with its images
  // beside it in a related part when it names any.
  const std::string& outer = alternativeBoundary_;
  WriteBytes(body_stream_, "--" + outer + "\r\n" +
                              TextPartHeader(kTextPartContentType, charsets::kUtf8.name, alternativeEncoding_));
  WriteText(post_message_.Alternative(), alternativeEncoding_);
  const std::vector<TInlineImage>& images = post_message_.InlineImages;
  const std::string& htmlBoundary = images.empty() ? outer : relatedBoundary_;
  if (!images.empty()) {
    WriteBytes(body_stream_, "--" + outer + "\r\n" + MultipartLine("related", relatedBoundary_) + "\r\n\r\n");
  }
  WriteBytes(body_stream_, "--" + htmlBoundary + "\r\n" +
                              TextPartHeader(kTextContentTypes[mtHtml], Charset, textEncoding_));
  WriteText(post_message_.Body(), textEncoding_);
  if (!images.empty()) {
    for (const TInlineImage& image : images) {
      WriteFilePart(relatedBoundary_, image.Path, image.ContentId, image.MediaType);
    }
    WriteBytes(body_stream_, "--" + relatedBoundary_ + "--\r\n");
  }
  WriteBytes(body_stream_, "--" + outer + "--\r\n");
}

void TQxSMTP::WriteText(const TStringList& text, TextEncoding encoding) {
  if (encoding == TextEncoding::kQuotedPrintable) {
    WriteQuotedPrintableText(text);
    return;
  }
  // Straight into the stream, made to the text's size at once: a long body
  // is neither copied whole on the way nor as the stream grows.
  std::int64_t size = 0;
  ForEachTextLine(text.Items(), [&](std::string_view line) {
    size += static_cast<std::int64_t>(line.size() + kCrLf.size()) + (line.starts_with('.') ? 1 : 0);
    boundaryMet_ = boundaryMet_ || mime_boundary::Delimits(line, boundaries_);
  });
  body_stream_.ReserveText(size);
  std::string dataLine;
  ForEachTextLine(text.Items(), [&](std::string_view line) {
    dataLine.clear();
    AppendDataLine(dataLine, line);
    WriteBytes(body_stream_, dataLine);
  });
}

void TQxSMTP::WriteQuotedPrintableText(const TStringList& text) {
  // Room for text with an escape in every tenth byte or so, so that the
  // stream seldom grows; each line asks for what it may need at most.
  std::int64_t textSize = 0;
  for (const std::string& entry : text.Items()) textSize += static_cast<std::int64_t>(entry.size()) + 2;
  body_stream_.ReserveText(textSize + textSize / 4 + kPartOverhead);
  ForEachTextLine(text.Items(), [&](std::string_view line) {
    char* room = body_stream_.RoomInPlace(static_cast<std::int64_t>(quoted_printable::EncodedLineBound(line.size())));
    const size_t written =
        quoted_printable::EncodeLine(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(), room);
    body_stream_.CommitInPlace(static_cast<std::int64_t>(written));
  });
}

TQxSMTP::AttachmentForm TQxSMTP::ChosenAttachmentForm(TFileStream& file, std::string_view mediaType) {
  const auto measured = [&file](std::unique_ptr<TPartEncoder> encoder,
                                 std::string_view encodingLine) -> std::optional<AttachmentForm> {
    const std::int64_t size = TMessageStream::MeasureEncoded(file, *encoder);
    if (!encoder->Suits()) return std::nullopt;
    return AttachmentForm{{}, encodingLine, std::move(encoder), size};
  };
  std::optional<AttachmentForm> form;
  // uuencode lines go whatever the type.
  if (EncodeType == uuMime && mediaType == media_types::kMessage) {
    // A message must go as it is (RFC 2046 5.2.1): only one that needs no
    // transfer encoding at all can be one.
    auto lines = std::make_unique<TWatchedMessageLines>(boundaries_);
    const TWatchedMessageLines* watched = lines.get();
    form = measured(std::move(lines), kSevenBitEncoding);
    if (!form) {
      mediaType = media_types::kOctetStream;
    } else if (watched->Delimited()) {
      boundaryMet_ = true;
    }
  } else if (EncodeType == uuMime && media_types::IsText(mediaType)) {
    // Base64 would hide text that needs no encoding; 8-bit text in a charset
    // nobody named is better kept whole in base64.
    form = measured(std::make_unique<part_encoders::TQuotedPrintableText>(), kQuotedPrintableEncoding);
  }
  if (!form) {
    auto lines = std::make_unique<part_encoders::TLineParts>(EncodeType);
    const std::int64_t size = lines->SizeFor(file.Size());
    const size_t method = EncodeType < std::size(kTransferEncodings) ? EncodeType : 0;
    form = AttachmentForm{{}, kTransferEncodings[method], std::move(lines), size};
  }
  form->mediaType = mediaType;
  return std::move(*form);
}

void TQxSMTP::EncodeAttachment(int index) {
  WriteFilePart(boundary_, post_message_.Attachments()[index - 1], "");
}

void TQxSMTP::WriteFilePart(const std::string& boundary, const std::string& entry, const std::string& contentId,
                            std::string_view mediaType) {
  const std::string fileName = AttachmentFileName(entry);
  std::unique_ptr<TFileStream> file;
  try {
    file = std::make_unique<TFileStream>(entry, platform::FileShare::kDenyAll);
  } catch (const EFOpenError&) {
    if (OnAttachmentNotFound) OnAttachmentNotFound(entry);
    throw;
  }
  // The part's lines are encoded while the message goes out, from this
  // open file; here they are only measured where their size needs a
  // reading.
  if (OnEncodeStart) OnEncodeStart(entry);
  AttachmentForm form = ChosenAttachmentForm(*file, mediaType.empty() ? media_types::MediaTypeOf(fileName) : mediaType);
  WriteBytes(body_stream_, "--" + boundary + "\r\n" + FilePartHeader(fileName, form, contentId));
  // A part whose handler failed keeps its header only, and its file is
  // released on the way out.
  if (OnEncodeEnd) OnEncodeEnd(entry);
  body_stream_.AppendFile(std::move(file), entry, std::move(form.encoder), form.size);
}

std::string TQxSMTP::FilePartHeader(const std::string& fileName, const AttachmentForm& form,
                                    const std::string& contentId) const {
  std::string typeLine = "Content-Type: " + std::string(form.mediaType) + "; name=";
  std::string dispositionLine = contentId.empty() ? "" : "Content-ID: <" + contentId + ">\r\n";
  // An image that the HTML shows is no attachment to the reader.
  dispositionLine += contentId.empty() ? kAttachmentDisposition : kInlineDisposition;
  // Appended piece by piece: MinGW's GCC 12 warns falsely (-Wrestrict) of
  // the same text made with operator+.
  if (IsAscii(fileName)) {
    typeLine += Quoted(fileName);
    dispositionLine += '=';
    dispositionLine += Quoted(fileName);
  } else {
    // Readers that know RFC 2231 take filename*; Outlook reads the name
    // parameter's encoded-words.
    const std::optional<std::string> utf8Name = FileNameInUtf8(fileName);
    const std::string_view charset = utf8Name ? charsets::kUtf8.name : header_words::kUnknownCharset;
    const std::string& name = utf8Name ? *utf8Name : fileName;
    typeLine += Quoted(header_fields::EncodedText(name, charset));
    dispositionLine += "*=";
    dispositionLine += header_words::ExtendedValue(name, charset);
  }
  return typeLine + "\r\n" + std::string(form.encodingLine) + "\r\n" + dispositionLine + "\r\n\r\n";
}

std::optional<std::string> TQxSMTP::FileNameInUtf8(const std::string& fileName) const {
  if (charsets::IsUtf8(fileName)) return fileName;
  // Bytes of the file names' charset, or else (a list file read where file
  // names are UTF-8) of the message's.
  for (const std::string& name : {FileNameCharset, Charset}) {
    const std::optional<charsets::TCharset> charset = charsets::Known(name);
    if (!charset || charset->name == charsets::kUtf8.name) continue;
    if (std::optional<std::string> converted =
            platform::ConvertToUtf8(fileName, std::string(charset->name).c_str(), charset->codePage)) {
      return converted;
    }
  }
  return std::nullopt;
}
