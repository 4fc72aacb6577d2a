#include "encoding/LineEncoding.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using line_encoding::FullLines;
using line_encoding::LineEncoder;

// Input and output are allocated at their exact sizes, so that the
// sanitizer build catches a read or write past either end.
std::string EncodeLines(FullLines encode, const std::vector<std::uint8_t>& input, std::size_t lineSize) {
  const std::size_t lines = input.size() / line_encoding::kLineBytes;
  std::vector<char> output(lines * lineSize);
  const std::size_t written = encode(input.data(), lines, output.data());
  EXPECT_EQ(written, output.size());
  return std::string(output.begin(), output.end());
}

TEST(LineEncoders, EveryEncoderWritesWhatThePortableOneWrites) {
  std::mt19937 random(11);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 400; ++n) lengths.push_back(n);
  lengths.push_back(1 << 20);
  for (const LineEncoder& encoder : line_encoding::AvailableEncoders()) {
    for (std::size_t n : lengths) {
      SCOPED_TRACE(std::string(encoder.name) + ", " + std::to_string(n) + " bytes");
      std::vector<std::uint8_t> input(n);
      for (std::uint8_t& b : input) b = static_cast<std::uint8_t>(random());
      ASSERT_EQ(EncodeLines(encoder.base64, input, line_encoding::kBase64LineSize),
                EncodeLines(line_encoding::kPortableEncoder.base64, input, line_encoding::kBase64LineSize));
      ASSERT_EQ(EncodeLines(encoder.uuencode, input, line_encoding::kUUEncodeLineSize),
                EncodeLines(line_encoding::kPortableEncoder.uuencode, input, line_encoding::kUUEncodeLineSize));
    }
  }
}

TEST(LineEncoders, ThePortableEncoderIsAvailableLastAndTheFastestFirst) {
  const auto encoders = line_encoding::AvailableEncoders();
  ASSERT_FALSE(encoders.empty());
  EXPECT_EQ(encoders.back().name, line_encoding::kPortableEncoder.name);
  EXPECT_EQ(line_encoding::FastestEncoder().name, encoders.front().name);
}

TEST(Base64Decoding, TakesWhatBase64WritesAndRefusesAnythingElse) {
  // Every length of a last group, and every byte value, comes back whole.
  std::string bytes;
  for (int b = 255; b >= 0; --b) bytes += static_cast<char>(b);
  for (std::size_t n = 0; n <= bytes.size(); n += 1 + n / 16) {
    SCOPED_TRACE(n);
    EXPECT_EQ(line_encoding::DecodeBase64(line_encoding::Base64(bytes.substr(0, n))), bytes.substr(0, n));
  }
  const struct {
    const char* text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"eyJzIjoiNDAxIn0=", R"({"s":"401"})"},
      {"eyJzIjoiNDAxIn0", std::nullopt},     // a group short
      {"eyJz IjoiNDAxIn0=", std::nullopt},   // a blank
      {"ey=zIjoi", std::nullopt},            // "=" before the end
      {"eyJzIjoiNDAxIn0-", std::nullopt},    // base64url's alphabet
      {"QR==", std::nullopt},                // bits below the last byte set
      {"QUI=", "AB"},
      {"QUJ=", std::nullopt},
      {"====", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(line_encoding::DecodeBase64(c.text), c.bytes);
  }
}

}  // namespace
