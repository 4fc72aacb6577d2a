#include "encoding/LineEncoding.h"

#include <gtest/gtest.h>

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

}  // namespace
