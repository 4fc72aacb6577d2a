// Full base64 and uuencode lines with SSSE3 or AVX2, for x86-64 processors
// that have them (asked at run time, so one program runs everywhere).
//
// A line is 45 bytes, that is 15 groups of three bytes giving four
// characters each. Each vector step turns 12 bytes (four groups) into 16
// characters: a byte shuffle puts every group into a 32-bit lane, two
// multiplies cut the lane into four six-bit values, and a table lookup adds
// the alphabet's offset. Three steps from the line's start and a fourth over
// its last 12 bytes (loaded from its end, so nothing past the line is read)
// cover the 60 characters; the overlapping step writes the same characters
// twice.

#include <immintrin.h>

#include <array>

#include "encoding/LineEncoding.h"

namespace line_encoding {
namespace {

constexpr int kLastStepOffset = static_cast<int>(kLineBytes) - 16;  // 29: the last 16 bytes of the line
constexpr int kLastStepChars = 44;                                  // where the characters of bytes 33..44 go

// Six-bit values of four groups held as b1 b0 b2 b1 in each 32-bit lane.
[[gnu::target("ssse3")]] inline __m128i Sextets(__m128i lanes) {
  const __m128i high = _mm_mulhi_epu16(_mm_and_si128(lanes, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
  const __m128i low = _mm_mullo_epi16(_mm_and_si128(lanes, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
  return _mm_or_si128(high, low);
}

[[gnu::target("avx2")]] inline __m256i Sextets(__m256i lanes) {
  const __m256i high =
      _mm256_mulhi_epu16(_mm256_and_si256(lanes, _mm256_set1_epi32(0x0FC0FC00)), _mm256_set1_epi32(0x04000040));
  const __m256i low =
      _mm256_mullo_epi16(_mm256_and_si256(lanes, _mm256_set1_epi32(0x003F03F0)), _mm256_set1_epi32(0x01000010));
  return _mm256_or_si256(high, low);
}

// Base64: 0-25 "A"-"Z", 26-51 "a"-"z", 52-61 "0"-"9", 62 "+", 63 "/". The
// value picks an offset from a 16-entry table: 52..63 map to entries 1..12
// by a saturating subtraction, 0..25 to entry 13, 26..51 stay at entry 0.
[[gnu::target("ssse3")]] inline __m128i Base64Offsets() {
  return _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                       '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
}

[[gnu::target("ssse3")]] inline __m128i Base64Characters(__m128i values) {
  __m128i index = _mm_subs_epu8(values, _mm_set1_epi8(51));
  index = _mm_or_si128(index, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), values), _mm_set1_epi8(13)));
  return _mm_add_epi8(values, _mm_shuffle_epi8(Base64Offsets(), index));
}

[[gnu::target("avx2")]] inline __m256i Base64Characters(__m256i values) {
  __m256i index = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
  index =
      _mm256_or_si256(index, _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), values), _mm256_set1_epi8(13)));
  return _mm256_add_epi8(values, _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(Base64Offsets()), index));
}

// uuencode: value + 32, except 0, which is the grave accent (96).
[[gnu::target("ssse3")]] inline __m128i UUEncodeCharacters(__m128i values) {
  const __m128i zero = _mm_cmpeq_epi8(values, _mm_setzero_si128());
  return _mm_add_epi8(_mm_add_epi8(values, _mm_set1_epi8(32)), _mm_and_si128(zero, _mm_set1_epi8(64)));
}

[[gnu::target("avx2")]] inline __m256i UUEncodeCharacters(__m256i values) {
  const __m256i zero = _mm256_cmpeq_epi8(values, _mm256_setzero_si256());
  return _mm256_add_epi8(_mm256_add_epi8(values, _mm256_set1_epi8(32)), _mm256_and_si256(zero, _mm256_set1_epi8(64)));
}

template <bool kUUEncode>
[[gnu::target("ssse3")]] inline __m128i Characters(__m128i values) {
  return kUUEncode ? UUEncodeCharacters(values) : Base64Characters(values);
}

template <bool kUUEncode>
[[gnu::target("avx2")]] inline __m256i Characters(__m256i values) {
  return kUUEncode ? UUEncodeCharacters(values) : Base64Characters(values);
}

// Shuffle orders: four groups from byte 0 of a 16-byte load, or from byte 4
// (the last 12 bytes of a line, loaded from its end).
[[gnu::target("ssse3")]] inline __m128i GroupsFromStart() {
  return _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
}
[[gnu::target("ssse3")]] inline __m128i GroupsFromByte4() {
  return _mm_setr_epi8(5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14);
}

inline __m128i Load16(const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

template <bool kUUEncode>
[[gnu::target("ssse3")]] std::size_t Ssse3Lines(const std::uint8_t* in, std::size_t lines, char* out) {
  const __m128i fromStart = GroupsFromStart();
  const __m128i fromByte4 = GroupsFromByte4();
  char* const start = out;
  for (std::size_t line = 0; line < lines; ++line, in += kLineBytes) {
    if (kUUEncode) *out++ = kAlphabets[kUUEncodeHalf + kLineBytes];
    for (int step = 0; step < 3; ++step) {
      const __m128i characters = Characters<kUUEncode>(Sextets(_mm_shuffle_epi8(Load16(in + 12 * step), fromStart)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * step), characters);
    }
    const __m128i last = Characters<kUUEncode>(Sextets(_mm_shuffle_epi8(Load16(in + kLastStepOffset), fromByte4)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + kLastStepChars), last);
    out[60] = '\r';
    out[61] = '\n';
    out += 62;
  }
  return static_cast<std::size_t>(out - start);
}

// Two steps of 24 bytes (two lanes of 12): bytes 0..23 give characters
// 0..31, bytes 21..44 characters 28..59.
template <bool kUUEncode>
[[gnu::target("avx2")]] std::size_t Avx2Lines(const std::uint8_t* in, std::size_t lines, char* out) {
  const __m256i bothFromStart = _mm256_broadcastsi128_si256(GroupsFromStart());
  const __m256i startThenByte4 = _mm256_set_m128i(GroupsFromByte4(), GroupsFromStart());
  char* const start = out;
  for (std::size_t line = 0; line < lines; ++line, in += kLineBytes) {
    if (kUUEncode) *out++ = kAlphabets[kUUEncodeHalf + kLineBytes];
    const __m256i front = _mm256_set_m128i(Load16(in + 12), Load16(in));
    const __m256i back = _mm256_set_m128i(Load16(in + kLastStepOffset), Load16(in + 21));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        Characters<kUUEncode>(Sextets(_mm256_shuffle_epi8(front, bothFromStart))));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 28),
                        Characters<kUUEncode>(Sextets(_mm256_shuffle_epi8(back, startThenByte4))));
    out[60] = '\r';
    out[61] = '\n';
    out += 62;
  }
  return static_cast<std::size_t>(out - start);
}

constexpr LineEncoder kAvx2{"avx2", Avx2Lines<false>, Avx2Lines<true>};
constexpr LineEncoder kSsse3{"ssse3", Ssse3Lines<false>, Ssse3Lines<true>};

struct Supported {
  std::array<LineEncoder, 2> encoders;
  std::size_t count = 0;
};

Supported AskProcessor() {
  __builtin_cpu_init();
  Supported supported;
  if (__builtin_cpu_supports("avx2")) supported.encoders[supported.count++] = kAvx2;
  if (__builtin_cpu_supports("ssse3")) supported.encoders[supported.count++] = kSsse3;
  return supported;
}

}  // namespace

std::span<const LineEncoder> VectorEncoders() {
  static const Supported supported = AskProcessor();
  return {supported.encoders.data(), supported.count};
}

}  // namespace line_encoding
