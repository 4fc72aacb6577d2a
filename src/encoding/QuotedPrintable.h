#pragma once
// Quoted-printable (RFC 2045 6.7) for text whose lines are too long for
// mail or whose 8-bit bytes a server cannot take: every line of text becomes
// one or more encoded lines of at most 76 characters, joined by soft line
// breaks ("=" at the end), so that decoding gives back the text exactly.
// The encoder of a processor (vector code on x86-64) writes the same bytes
// as the portable one.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quoted_printable {

/// Characters of an encoded line before its soft line break "=": lines stay
/// within 76 characters, the "=" included.
inline constexpr std::size_t kLineWidth = 75;

/// A byte that may stand for itself anywhere but at the end of a line: the
/// printable ASCII characters but "=", the blank and the tab.
constexpr bool IsLiteral(std::uint8_t byte) {
  return (byte >= 0x20 && byte <= 0x7E && byte != '=') || byte == '\t';
}

/// The room EncodeLine needs for a line of n bytes: every byte escaped,
/// the soft line breaks, the line end, and 32 bytes that vector code may
/// write beyond the end (never counted as written).
constexpr std::size_t EncodedLineBound(std::size_t n) { return 3 * n + n / 8 + 40; }

/// Encodes one line of text, in[0, n) without its line end, followed by
/// CR LF, into out, which must have room for EncodedLineBound(n); returns
/// the count of characters written. Bytes that are not literal become "="
/// and two upper-case hexadecimal digits, and so do a blank or tab that
/// ends the line and a "." that begins an encoded line (so that no line
/// needs SMTP's dot-stuffing). A line of encoded characters is cut by a
/// soft line break after 75, never inside an escape.
std::size_t EncodeLine(const std::uint8_t* in, std::size_t n, char* out);
/// The same one byte at a time: the reference every encoder is held to.
std::size_t PortableEncodeLine(const std::uint8_t* in, std::size_t n, char* out);

/// The count of bytes at the start of in[0, n) that are literal.
std::size_t PortableLiteralRun(const std::uint8_t* in, std::size_t n);

/// The encoded form of one line, line end included.
std::string EncodeLine(std::string_view line);

}  // namespace quoted_printable
