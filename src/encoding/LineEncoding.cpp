#include "encoding/LineEncoding.h"

#include <cstring>
#include <vector>

namespace line_encoding {
namespace {

static_assert(kAlphabets.size() == 128);

// Two characters for every 12-bit value, so that a group of three bytes
// takes two lookups instead of four.
struct PairTable {
  char pairs[4096][2];
};

constexpr PairTable MakePairTable(std::size_t half) {
  PairTable table{};
  for (std::size_t v = 0; v < 4096; ++v) {
    table.pairs[v][0] = kAlphabets[half + (v >> 6)];
    table.pairs[v][1] = kAlphabets[half + (v & 63)];
  }
  return table;
}

constexpr PairTable kBase64Pairs = MakePairTable(kBase64Half);
constexpr PairTable kUUEncodePairs = MakePairTable(kUUEncodeHalf);

template <bool kUUEncode>
std::size_t PortableLines(const std::uint8_t* in, std::size_t lines, char* out) {
  const PairTable& table = kUUEncode ? kUUEncodePairs : kBase64Pairs;
  char* const start = out;
  for (std::size_t line = 0; line < lines; ++line) {
    if (kUUEncode) *out++ = kAlphabets[kUUEncodeHalf + kLineBytes];
    for (const std::uint8_t* const end = in + kLineBytes; in != end; in += 3, out += 4) {
      const std::uint32_t group = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
      std::memcpy(out, table.pairs[group >> 12], 2);
      std::memcpy(out + 2, table.pairs[group & 0xFFF], 2);
    }
    *out++ = '\r';
    *out++ = '\n';
  }
  return static_cast<std::size_t>(out - start);
}

std::vector<LineEncoder> CollectEncoders() {
  std::vector<LineEncoder> encoders(VectorEncoders().begin(), VectorEncoders().end());
  encoders.push_back(kPortableEncoder);
  return encoders;
}

constexpr char kPad = '=';

}  // namespace

std::size_t EncodeGroups(const std::uint8_t* in, std::size_t n, const char* alphabet, bool pad, char* out) {
  char* const start = out;
  const std::uint8_t* const groupsEnd = in + n / 3 * 3;
  for (; in != groupsEnd; in += 3) {
    *out++ = alphabet[in[0] >> 2];
    *out++ = alphabet[((in[0] << 4) | (in[1] >> 4)) & 63];
    *out++ = alphabet[((in[1] << 2) | (in[2] >> 6)) & 63];
    *out++ = alphabet[in[2] & 63];
  }
  switch (n % 3) {
    case 1:
      *out++ = alphabet[in[0] >> 2];
      *out++ = alphabet[(in[0] << 4) & 48];
      if (pad) {
        *out++ = kPad;
        *out++ = kPad;
      }
      break;
    case 2:
      *out++ = alphabet[in[0] >> 2];
      *out++ = alphabet[((in[0] << 4) & 48) | (in[1] >> 4)];
      *out++ = alphabet[(in[1] << 2) & 60];
      if (pad) *out++ = kPad;
      break;
    default: break;
  }
  return static_cast<std::size_t>(out - start);
}

std::string Base64(std::string_view bytes) {
  std::string text((bytes.size() + 2) / 3 * 4, '\0');
  EncodeGroups(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), kAlphabets.data() + kBase64Half,
               true, text.data());
  return text;
}

const LineEncoder kPortableEncoder{"portable", PortableLines<false>, PortableLines<true>};

std::span<const LineEncoder> AvailableEncoders() {
  static const std::vector<LineEncoder> encoders = CollectEncoders();
  return encoders;
}

const LineEncoder& FastestEncoder() {
  static const LineEncoder& fastest = AvailableEncoders().front();
  return fastest;
}

}  // namespace line_encoding
