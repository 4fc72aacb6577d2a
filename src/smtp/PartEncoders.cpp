#include "smtp/PartEncoders.h"

#include <cstring>

#include "core/Stream.h"
#include "encoding/HeaderWords.h"
#include "encoding/LineEncoding.h"
#include "encoding/QuotedPrintable.h"
#include "smtp/HeaderFields.h"

namespace part_encoders {

namespace {
/// True when text is ASCII without a NUL: text a reader can read as it is.
bool IsReadableText(std::string_view text) {
  return header_words::IsAscii(text) && text.find('\0') == std::string_view::npos;
}
}  // namespace

TLineParts::TLineParts(UUMethods method) { processor_.Method = method; }

// A whole run of lines, as the processor reads at a time: its vector code
// then encodes long stretches, and a file read goes straight to the block.
std::size_t TLineParts::BlockSize() const { return kEncodeRunLines * line_encoding::kLineBytes; }

void TLineParts::Encode(std::string_view block, bool last, std::string& out) {
  const std::size_t start = out.size();
  // Room for the block's lines and what closes them.
  out.resize(start + static_cast<std::size_t>(processor_.EncodedSize(static_cast<std::int64_t>(block.size()))));
  std::size_t written =
      processor_.EncodeRun(reinterpret_cast<const std::uint8_t*>(block.data()), block.size(), out.data() + start);
  if (last) written += processor_.CloseLines(out.data() + start + written);
  out.resize(start + written);
}

std::size_t TQuotedPrintableText::BlockSize() const { return static_cast<std::size_t>(TFileStream::kReadAhead); }

void TQuotedPrintableText::Encode(std::string_view block, bool last, std::string& out) {
  readable_ = readable_ && IsReadableText(block);
  for (size_t start = 0; start < block.size();) {
    const size_t lineFeed = block.find('\n', start);
    const size_t end = lineFeed == std::string_view::npos ? block.size() : lineFeed + 1;
    const size_t n = end - start;
    const size_t at = out.size();
    out.resize(at + quoted_printable::EncodedLineBound(n) + 1);
    char* room = out.data() + at;
    size_t written = quoted_printable::EncodeLine(reinterpret_cast<const std::uint8_t*>(block.data() + start), n, room);
    if (end < block.size() || !last) {
      std::memcpy(room + written - 2, "=\r\n", 3);
      ++written;
    }
    out.resize(at + written);
    start = end;
  }
}

std::size_t TSevenBitLines::BlockSize() const { return static_cast<std::size_t>(TFileStream::kReadAhead); }

void TSevenBitLines::Restart() {
  suits_ = true;
  afterCr_ = false;
  lineLength_ = 0;
}

void TSevenBitLines::Encode(std::string_view block, bool last, std::string& out) {
  suits_ = suits_ && IsReadableText(block);
  out.reserve(out.size() + block.size() + block.size() / 64 + 2);
  for (const char c : block) {
    // A CR stands only before LF, and an LF only after CR.
    if (afterCr_ != (c == '\n')) suits_ = false;
    if (c == '.' && lineLength_ == 0) out += '.';
    out += c;
    afterCr_ = c == '\r';
    lineLength_ = c == '\n' ? 0 : lineLength_ + 1;
    if (lineLength_ > header_fields::kLongestLine + 1) suits_ = false;
  }
  if (last) {
    if (afterCr_ || lineLength_ > header_fields::kLongestLine) suits_ = false;
    out += "\r\n";
  }
}

}  // namespace part_encoders
