// Composition of the SMTP client: FinalHeader from the message record, and
// the body stream with the body text and one encoded part per attachment.

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "core/Exceptions.h"
#include "core/Random.h"
#include "encoding/HeaderWords.h"
#include "encoding/QuotedPrintable.h"
#include "platform/File.h"
#include "smtp/HeaderFields.h"
#include "smtp/MessageText.h"
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
constexpr std::string_view kMimeVersion = "Mime-Version: 1.0";
constexpr std::string_view kMultipartContentType = "Content-Type: multipart/mixed; boundary=";
constexpr std::string_view kBoundaryStart = "====================54535";
constexpr std::string_view kBoundaryEnd = "====";
constexpr int kBoundaryLetters = 6;
constexpr std::string_view kAttachmentContentType = "Content-Type: application/octet-stream; name=";
constexpr std::string_view kAttachmentDisposition = "Content-Disposition: attachment; filename=";
constexpr std::string_view kExtendedDisposition = "Content-Disposition: attachment; filename*=";
// The text's transfer encoding, by TextEncoding; as written it has no line.
constexpr std::string_view kTextTransferEncodings[] = {
    "",
    "Content-Transfer-Encoding: 8bit",
    "Content-Transfer-Encoding: quoted-printable",
};
// A part of uuencode lines is labelled as such: calling it base64 would make
// every reader decode it into garbage.
constexpr std::string_view kTransferEncodings[] = {
    "Content-Transfer-Encoding: base64",      // uuMime
    "Content-Transfer-Encoding: x-uuencode",  // uuCode
};

void WriteText(TStream& stream, std::string_view text) {
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

/// Room the encoded form of size bytes needs, line ends included.
std::int64_t EncodedSizeBound(std::int64_t size, UUMethods method) {
  const std::int64_t lines = (std::max<std::int64_t>(size, 0) + 44) / 45;
  return method == uuCode ? lines * 63 + 3 : lines * 62;
}

/// Room for what follows an attachment's lines without a new block: the
/// next part's header or the closing line.
constexpr std::int64_t kPartOverhead = 512;

std::string NewBoundary() {
  std::string boundary(kBoundaryStart);
  for (int i = 0; i < kBoundaryLetters; ++i) boundary += static_cast<char>('a' + Random(25));
  boundary += kBoundaryEnd;
  return boundary;
}

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
  textEncoding_ = ChosenTextEncoding();
  ComposeHeader();
  ComposeBody();
}

TQxSMTP::TextEncoding TQxSMTP::ChosenTextEncoding() {
  // Relays break longer lines: the first one settles it.
  bool eightBit = false;
  for (const std::string& entry : post_message_.Body().Items()) {
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
  // nothing is known, and the text goes as written.
  if (!eightBit || !capabilities_.Extended) return TextEncoding::kAsWritten;
  return capabilities_.EightBitMime ? TextEncoding::kEightBit : TextEncoding::kQuotedPrintable;
}

void TQxSMTP::ComposeHeader() {
  TPostMessage& m = post_message_;
  final_header_.Clear();
  // A display name outside ASCII needs a blank before "<" to end its encoded-words.
  const std::string fromName =
      IsAscii(m.FromName) ? m.FromName : header_fields::EncodedPhrase(m.FromName, Charset) + " ";
  final_header_.Add("From: " + fromName + "<" + m.FromAddress + ">");
  AddRecipientLine("To: ", m.ToAddress());
  AddRecipientLine("CC: ", m.ToCarbonCopy());
  if (!m.Subject.empty()) {
    AddLines(header_fields::TextLines("Subject: ", m.Subject, SubjectCharset.empty() ? Charset : SubjectCharset));
  }
  final_header_.SetFieldValue("X-Mailer", m.LocalProgram);
  if (!m.ReplyTo.empty()) AddLines(header_fields::AddressLines("Reply-To: ", {m.ReplyTo}, Charset));
  if (!m.Date.empty()) final_header_.SetFieldValue("Date", m.Date);
  if (!m.MessageId.empty()) final_header_.SetFieldValue("Message-ID", m.MessageId);
  final_header_.Add(std::string(kMimeVersion));
  if (m.Attachments().Count() > 0) {
    boundary_ = NewBoundary();
    final_header_.Add(std::string(kMultipartContentType) + "\"" + boundary_ + "\"");
  } else {
    if (SubType >= std::size(kTextContentTypes)) throw ERangeError();
    final_header_.Add(std::string(kTextContentTypes[SubType]) + Charset);
    if (textEncoding_ != TextEncoding::kAsWritten) {
      final_header_.Add(std::string(kTextTransferEncodings[static_cast<size_t>(textEncoding_)]));
    }
  }
}

void TQxSMTP::AddRecipientLine(const std::string& prefix, const TStringList& list) {
  if (list.Count() == 0) return;
  AddLines(header_fields::AddressLines(prefix, list.Items(), Charset));
}

void TQxSMTP::AddLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) final_header_.Add(line);
}

void TQxSMTP::ComposeBody() {
  body_stream_.Clear();
  const TStringList& attachments = post_message_.Attachments();
  if (attachments.Count() == 0) {
    WriteBodyText();
    return;
  }
  std::string textPartHeader = "--" + boundary_ + "\r\n" + std::string(kTextPartContentType) + Charset + "\r\n";
  if (textEncoding_ != TextEncoding::kAsWritten) {
    textPartHeader += std::string(kTextTransferEncodings[static_cast<size_t>(textEncoding_)]) + "\r\n";
  }
  WriteText(body_stream_, textPartHeader + "\r\n");
  WriteBodyText();
  // Re-read: an encode handler may change the list.
  for (int index = 1; index <= attachments.Count(); ++index) EncodeAttachment(index);
  WriteText(body_stream_, "--" + boundary_ + "--\r\n");
}

void TQxSMTP::WriteBodyText() {
  if (textEncoding_ == TextEncoding::kQuotedPrintable) {
    WriteQuotedPrintableText();
    return;
  }
  std::string text;
  ForEachTextLine(post_message_.Body().Items(), [&](std::string_view line) { AppendDataLine(text, line); });
  WriteText(body_stream_, text);
}

void TQxSMTP::WriteQuotedPrintableText() {
  // Room for text with an escape in every tenth byte or so, so that the
  // stream seldom grows; each line asks for what it may need at most.
  std::int64_t textSize = 0;
  for (const std::string& entry : post_message_.Body().Items()) textSize += static_cast<std::int64_t>(entry.size()) + 2;
  body_stream_.Reserve(body_stream_.DataSize() + textSize + textSize / 4 + kPartOverhead);
  ForEachTextLine(post_message_.Body().Items(), [&](std::string_view line) {
    char* room = body_stream_.RoomInPlace(static_cast<std::int64_t>(quoted_printable::EncodedLineBound(line.size())));
    const size_t written =
        quoted_printable::EncodeLine(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(), room);
    body_stream_.CommitInPlace(static_cast<std::int64_t>(written));
  });
}

void TQxSMTP::EncodeAttachment(int index) {
  const std::string entry = post_message_.Attachments()[index - 1];
  const std::string fileName = AttachmentFileName(entry);
  const size_t method = EncodeType < std::size(kTransferEncodings) ? EncodeType : 0;
  std::string typeLine = std::string(kAttachmentContentType);
  std::string dispositionLine;
  if (IsAscii(fileName)) {
    typeLine += Quoted(fileName);
    dispositionLine = std::string(kAttachmentDisposition) + Quoted(fileName);
  } else {
    // Readers that know RFC 2231 take filename*; Outlook reads the name
    // parameter's encoded-words.
    const std::string_view charset = header_fields::TextCharset(FileNameCharset.empty() ? Charset : FileNameCharset);
    typeLine += Quoted(header_fields::EncodedText(fileName, charset));
    dispositionLine = std::string(kExtendedDisposition) + header_words::ExtendedValue(fileName, charset);
  }
  WriteText(body_stream_, "--" + boundary_ + "\r\n" + typeLine + "\r\n" + std::string(kTransferEncodings[method]) +
                              "\r\n" + dispositionLine + "\r\n\r\n");

  // The encoder writes straight into the body stream: no scratch copy of
  // the lines, and every byte is written once. Declared so that the file
  // goes before the encoder, whichever way this function is left.
  const std::unique_ptr<TQxUUProcessor> encoder = std::make_unique<TQxUUProcessor>(this);
  std::unique_ptr<TFileStream> file;
  encoder->Method = EncodeType;
  try {
    file = std::make_unique<TFileStream>(entry, platform::FileShare::kDenyAll);
  } catch (const EFOpenError&) {
    if (OnAttachmentNotFound) OnAttachmentNotFound(entry);
    throw;
  }
  // The size comes from the open file: the body stream grows once per
  // attachment, to what its lines need.
  const std::int64_t partStart = body_stream_.DataSize();
  body_stream_.Reserve(partStart + EncodedSizeBound(file->Size(), EncodeType) + kPartOverhead);
  encoder->InputStream = file.get();
  encoder->OutputStream = &body_stream_;
  try {
    if (OnEncodeStart) OnEncodeStart(entry);
    encoder->Encode();  // leaves the body stream rewound
    body_stream_.Seek(0, soFromEnd);
    if (OnEncodeEnd) OnEncodeEnd(entry);
  } catch (...) {
    // A failed part keeps its header only, never some of its lines.
    body_stream_.SetSize(partStart);
    body_stream_.Seek(0, soFromEnd);
    throw;
  }
}
