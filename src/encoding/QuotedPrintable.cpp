#include "encoding/QuotedPrintable.h"

#include <algorithm>
#include <cstring>

namespace quoted_printable {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

char* Escape(std::uint8_t byte, char* out) {
  out[0] = '=';
  out[1] = kHexDigits[byte >> 4];
  out[2] = kHexDigits[byte & 15];
  return out + 3;
}

char* SoftBreak(char* out) {
  std::memcpy(out, "=\r\n", 3);
  return out + 3;
}

constexpr bool IsBlank(std::uint8_t byte) { return byte == ' ' || byte == '\t'; }

}  // namespace

std::size_t PortableLiteralRun(const std::uint8_t* in, std::size_t n) {
  std::size_t i = 0;
  while (i < n && IsLiteral(in[i])) ++i;
  return i;
}

std::size_t PortableEncodeLine(const std::uint8_t* in, std::size_t n, char* out) {
  char* const start = out;
  std::size_t column = 0;
  std::size_t i = 0;
  while (i < n) {
    if (column == kLineWidth) {
      out = SoftBreak(out);
      column = 0;
    }
    std::size_t run = 0;
    if (column > 0 || in[i] != '.') {
      run = PortableLiteralRun(in + i, std::min(n - i, kLineWidth - column));
      if (run > 0 && i + run == n && IsBlank(in[n - 1])) --run;  // a blank at the end would be lost
    }
    std::memcpy(out, in + i, run);
    out += run;
    column += run;
    i += run;
    if (i == n || column == kLineWidth) continue;
    // in[i] needs its escape, which must not be cut by a soft break.
    if (column + 3 > kLineWidth) {
      out = SoftBreak(out);
      column = 0;
    }
    out = Escape(in[i++], out);
    column += 3;
  }
  *out++ = '\r';
  *out++ = '\n';
  return static_cast<std::size_t>(out - start);
}

std::string EncodeLine(std::string_view line) {
  std::string encoded(EncodedLineBound(line.size()), '\0');
  encoded.resize(EncodeLine(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(), encoded.data()));
  return encoded;
}

}  // namespace quoted_printable
