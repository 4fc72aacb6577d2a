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

}  // namespace

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
