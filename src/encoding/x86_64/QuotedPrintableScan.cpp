// Literal runs of quoted-printable 16 bytes at a time with SSE2, which every
// x86-64 processor has. An encoded line holds at most 75 characters, so runs
// are short: wider vectors would rarely fill.

#include <emmintrin.h>

#include "encoding/QuotedPrintable.h"

namespace quoted_printable {
namespace {

constexpr std::size_t kWidth = 16;

/// A bit for each of the 16 bytes at in that is not literal.
inline unsigned NotLiteral(const std::uint8_t* in) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  // Signed comparisons: bytes from 0x80 on are negative, below the blank.
  __m128i literal = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x1F)),
                                  _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x7F)));
  literal = _mm_andnot_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('=')), literal);
  literal = _mm_or_si128(literal, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')));
  return ~static_cast<unsigned>(_mm_movemask_epi8(literal)) & 0xFFFFu;
}

}  // namespace

std::size_t LiteralRun(const std::uint8_t* in, std::size_t n) {
  if (n < kWidth) return PortableLiteralRun(in, n);
  std::size_t i = 0;
  for (; i + kWidth <= n; i += kWidth) {
    if (const unsigned stops = NotLiteral(in + i)) return i + static_cast<std::size_t>(__builtin_ctz(stops));
  }
  if (i == n) return n;
  // The last bytes, from a load that ends at n; the bytes it shares with the
  // loads before are literal already.
  const std::size_t last = n - kWidth;
  const unsigned stops = NotLiteral(in + last) >> (i - last);
  return stops ? i + static_cast<std::size_t>(__builtin_ctz(stops)) : n;
}

}  // namespace quoted_printable
