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

/// The 6-bit value of a base64 character; kNotBase64 for any other.
constexpr std::uint8_t kNotBase64 = 0xFF;
struct DecodeTable {
  std::uint8_t values[256];
};
constexpr DecodeTable MakeDecodeTable() {
  DecodeTable table{};
  for (std::uint8_t& value : table.values) value = kNotBase64;
  for (std::size_t v = 0; v < 64; ++v) table.values[static_cast<std::uint8_t>(kAlphabets[kBase64Half + v])] = v;
  return table;
}
constexpr DecodeTable kBase64Values = MakeDecodeTable();

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

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const std::uint8_t value = kBase64Values.values[static_cast<std::uint8_t>(text[i])];
    if (value == kNotBase64) return std::nullopt;
    bits = (bits << 6) | value;
    if (i % 4 == 3) {
      bytes += static_cast<char>(bits >> 16);
      bytes += static_cast<char>(bits >> 8);
      bytes += static_cast<char>(bits);
    }
  }
  // A padded group: two characters give one byte, three give two; the bits
  // below them must be zero, as an encoder writes them.
  if (padding == 2) {
    if ((bits & 0xF) != 0) return std::nullopt;
    bytes += static_cast<char>(bits >> 4);
  } else if (padding == 1) {
    if ((bits & 0x3) != 0) return std::nullopt;
    bytes += static_cast<char>(bits >> 10);
    bytes += static_cast<char>(bits >> 2);
  }
  return bytes;
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
