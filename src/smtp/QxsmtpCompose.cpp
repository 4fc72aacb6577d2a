// Composition of the SMTP client: FinalHeader from the message record, and
// the body stream with the body text and one encoded part per attachment.

#include <algorithm>
#include <iterator>
#include <memory>

#include "core/Exceptions.h"
#include "core/Random.h"
#include "platform/File.h"
#include "smtp/MessageText.h"
#include "smtp/Qxsmtp.h"

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
std::string Quoted(const std::string& name) {
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

}  // namespace

void TQxSMTP::ComposeMessage() {
  ComposeHeader();
  ComposeBody();
}

void TQxSMTP::ComposeHeader() {
  TPostMessage& m = post_message_;
  final_header_.Clear();
  final_header_.Add("From: " + m.FromName + "<" + m.FromAddress + ">");
  AddRecipientLine("To: ", m.ToAddress());
  AddRecipientLine("CC: ", m.ToCarbonCopy());
  final_header_.SetFieldValue("Subject", m.Subject);
  final_header_.SetFieldValue("X-Mailer", m.LocalProgram);
  if (!m.ReplyTo.empty()) final_header_.SetFieldValue("Reply-To", m.ReplyTo);
  if (!m.Date.empty()) final_header_.SetFieldValue("Date", m.Date);
  final_header_.Add(std::string(kMimeVersion));
  if (m.Attachments().Count() > 0) {
    boundary_ = NewBoundary();
    final_header_.Add(std::string(kMultipartContentType) + "\"" + boundary_ + "\"");
  } else {
    if (SubType >= std::size(kTextContentTypes)) throw ERangeError();
    final_header_.Add(std::string(kTextContentTypes[SubType]) + Charset);
  }
}

void TQxSMTP::AddRecipientLine(const std::string& prefix, const TStringList& list) {
  if (list.Count() == 0) return;
  std::string line = prefix;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) line += ',';
    line += list[i];
  }
  final_header_.Add(std::move(line));
}

void TQxSMTP::ComposeBody() {
  body_stream_.Clear();
  const TStringList& attachments = post_message_.Attachments();
  if (attachments.Count() == 0) {
    WriteBodyText();
    return;
  }
  WriteText(body_stream_, "--" + boundary_ + "\r\n" + std::string(kTextPartContentType) + Charset + "\r\n\r\n");
  WriteBodyText();
  // Re-read: an encode handler may change the list.
  for (int index = 1; index <= attachments.Count(); ++index) EncodeAttachment(index);
  WriteText(body_stream_, "--" + boundary_ + "--\r\n");
}

void TQxSMTP::WriteBodyText() {
  std::string text;
  for (const std::string& entry : post_message_.Body().Items()) {
    // An entry is a line of text: line breaks inside it make several lines,
    // so no bare line end can reach the data stream.
    size_t start = 0;
    for (;;) {
      const size_t end = entry.find_first_of("\r\n", start);
      AppendDataLine(text, std::string_view(entry).substr(start, end == std::string::npos ? end : end - start));
      if (end == std::string::npos) break;
      start = end + (entry.compare(end, 2, kCrLf) == 0 ? 2 : 1);
    }
  }
  WriteText(body_stream_, text);
}

void TQxSMTP::EncodeAttachment(int index) {
  const std::string entry = post_message_.Attachments()[index - 1];
  const std::string name = Quoted(AttachmentFileName(entry));
  const size_t method = EncodeType < std::size(kTransferEncodings) ? EncodeType : 0;
  WriteText(body_stream_, "--" + boundary_ + "\r\n" + std::string(kAttachmentContentType) + name + "\r\n" +
                              std::string(kTransferEncodings[method]) + "\r\n" +
                              std::string(kAttachmentDisposition) + name + "\r\n\r\n");

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
