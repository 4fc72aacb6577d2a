// Quoted-printable lines with SSE2, which every x86-64 processor has. An
// encoded line is made at once from the bytes that can fill it: vector
// compares mark the bytes of the next 80 that need an escape, a count of
// the marks tells how many bytes the line takes, and the literal stretches
// between the marks go out in 16-byte stores (which may write past their
// end; the next store or escape overwrites that).

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "encoding/QuotedPrintable.h"

namespace quoted_printable {
namespace {

constexpr std::size_t kStep = 16;
/// Bytes FillLine may read: the 80 it marks (75 and a step's rounding), and
/// the copy of the line's last stretch, which starts before byte 75 and
/// reads at least two steps.
constexpr std::size_t kReadable = 112;
static_assert(kReadable >= 5 * kStep && kReadable >= kLineWidth + 2 * kStep);

/// "=XX" for every byte, padded to four characters so that one store
/// writes it.
constexpr std::array<std::array<char, 4>, 256> MakeEscapes() {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::array<std::array<char, 4>, 256> escapes{};
  for (std::size_t b = 0; b < 256; ++b) escapes[b] = {'=', kHexDigits[b >> 4], kHexDigits[b & 15], '\0'};
  return escapes;
}
constexpr std::array<std::array<char, 4>, 256> kEscapes = MakeEscapes();

/// Writes four characters, counts three.
inline char* Escape(std::uint8_t byte, char* out) {
  std::memcpy(out, kEscapes[byte].data(), 4);
  return out + 3;
}

inline char* SoftBreak(char* out) {
  std::memcpy(out, "=\r\n", 3);
  return out + 3;
}

/// A bit for each of the 16 bytes at in that is not literal.
inline std::uint64_t NotLiteral(const std::uint8_t* in) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  // Signed comparisons: bytes from 0x80 on are negative, below the blank.
  __m128i literal = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x1F)),
                                  _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x7F)));
  literal = _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('=')), literal);
  literal = _mm_or_si128(literal, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')));
  return ~static_cast<std::uint64_t>(_mm_movemask_epi8(literal)) & 0xFFFFu;
}

inline void Copy16(const std::uint8_t* in, char* out) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
}

/// Copies count bytes (at most a window's) in 16-byte steps, the first two
/// whatever count is, so that the short stretches between escapes take no
/// branch; may write up to 31 bytes beyond.
inline void CopyStretch(const std::uint8_t* in, std::size_t count, char* out) {
  Copy16(in, out);
  Copy16(in + kStep, out + kStep);
  for (std::size_t k = 2 * kStep; k < count; k += kStep) Copy16(in + k, out + k);
}

/// Fills one encoded line from in, whose next kReadable bytes may all be
/// read, with room columns left: writes the bytes that fit, escaped, and
/// returns how many it took; columns grows by the characters written.
inline std::size_t FillLine(const std::uint8_t* in, std::size_t room, char*& out, std::size_t& columns) {
  const std::uint64_t marks[2] = {
      NotLiteral(in) | NotLiteral(in + 16) << 16 | NotLiteral(in + 32) << 32 | NotLiteral(in + 48) << 48,
      NotLiteral(in + 64)};
  std::size_t used = 0;  // columns of this line written here
  std::size_t from = 0;  // the first byte not written yet
  for (std::size_t half = 0; half < 2; ++half) {
    for (std::uint64_t bits = marks[half]; bits != 0; bits &= bits - 1) {
      const std::size_t at = 64 * half + static_cast<std::size_t>(__builtin_ctzll(bits));
      const std::size_t stretch = at - from;
      if (used + stretch >= room) {  // literals fill the line
        CopyStretch(in + from, room - used, out);
        out += room - used;
        columns += room;
        return from + (room - used);
      }
      CopyStretch(in + from, stretch, out);
      out += stretch;
      used += stretch;
      if (used + 3 > room) {  // the escape goes on the next line
        columns += used;
        return at;
      }
      out = Escape(in[at], out);
      used += 3;
      from = at + 1;
    }
  }
  // An escape takes one byte for three columns: the rest of the line's
  // bytes lie within the window, all literal.
  CopyStretch(in + from, room - used, out);
  out += room - used;
  columns += room;
  return from + (room - used);
}

}  // namespace

std::size_t EncodeLine(const std::uint8_t* in, std::size_t n, char* out) {
  char* const start = out;
  std::size_t column = 0;
  std::size_t i = 0;
  // The last byte goes on its own below: a blank there needs its escape.
  const std::size_t body = n > 0 ? n - 1 : 0;
  while (i < body) {
    if (column == kLineWidth) {
      out = SoftBreak(out);
      column = 0;
    }
    if (column == 0 && in[i] == '.') {
      out = Escape(in[i++], out);
      column = 3;
      continue;
    }
    const std::size_t room = kLineWidth - column;
    if (body - i >= kReadable) {
      i += FillLine(in + i, room, out, column);
      if (column < kLineWidth) {  // the next byte's escape does not fit
        out = SoftBreak(out);
        column = 0;
      }
      continue;
    }
    const std::size_t run = PortableLiteralRun(in + i, std::min(body - i, room));
    std::memcpy(out, in + i, run);
    out += run;
    column += run;
    i += run;
    if (i == body || column == kLineWidth) continue;
    // in[i] needs its escape, which must not be cut by a soft break.
    if (column + 3 > kLineWidth) {
      out = SoftBreak(out);
      column = 0;
    }
    out = Escape(in[i++], out);
    column += 3;
  }
  if (n > 0) {
    const std::uint8_t last = in[n - 1];
    const bool plain = IsLiteral(last) && last != ' ' && last != '\t';
    if (column + (plain ? 1 : 3) > kLineWidth) {
      out = SoftBreak(out);
      column = 0;
    }
    if (plain && (column > 0 || last != '.')) {
      *out++ = static_cast<char>(last);
    } else {
      out = Escape(last, out);
    }
  }
  *out++ = '\r';
  *out++ = '\n';
  return static_cast<std::size_t>(out - start);
}

}  // namespace quoted_printable
