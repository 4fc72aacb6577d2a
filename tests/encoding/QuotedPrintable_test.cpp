#include "encoding/QuotedPrintable.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using quoted_printable::EncodeLine;

TEST(QuotedPrintable, FixedLines) {
  const struct {
    const char* name;
    std::string line;
    std::string encoded;
  } cases[] = {
      {"empty line", "", "\r\n"},
      {"plain text as it is", "Total: 42 (net)", "Total: 42 (net)\r\n"},
      {"equals sign and 8-bit bytes escaped", "a=b \xC0\xFF", "a=3Db =C0=FF\r\n"},
      {"blank and tab at the end escaped", "x \t", "x =09\r\n"},
      {"a lone blank", " ", "=20\r\n"},
      {"leading dot escaped", ".end", "=2Eend\r\n"},
      {"dot later stays", "a.b", "a.b\r\n"},
      {"control characters escaped", std::string("a\x01\x7F", 3), "a=01=7F\r\n"},
      {"75 characters fit one line", std::string(75, 'a'), std::string(75, 'a') + "\r\n"},
      {"76 characters break softly after 75", std::string(76, 'a'), std::string(75, 'a') + "=\r\na\r\n"},
      {"an escape is never cut", std::string(73, 'a') + "\xE9", std::string(73, 'a') + "=\r\n=E9\r\n"},
      {"a dot after a soft break escaped", std::string(75, 'a') + ".", std::string(75, 'a') + "=\r\n=2E\r\n"},
      {"a blank before a soft break stays", std::string(74, 'a') + " b", std::string(74, 'a') + " =\r\nb\r\n"},
      {"25 escapes fill a line", std::string(26, '\xE9'), [] {
         std::string line;
         for (int i = 0; i < 25; ++i) line += "=E9";
         return line + "=\r\n=E9\r\n";
       }()},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeLine(c.line), c.encoded) << c.name;
}

TEST(QuotedPrintable, ThisProcessorsEncoderWritesWhatThePortableOneWrites) {
  std::mt19937 random(3);
  // Literal bytes mostly, so that runs of every length meet the column limit.
  const std::string alphabet = std::string("abcdefghijklmnopqrstuvwxyz. \t=") + "\x01\x7F\x80\xFF";
  for (size_t n = 0; n <= 200; ++n) {
    for (int round = 0; round < 100; ++round) {
      std::vector<std::uint8_t> line(n);
      for (std::uint8_t& b : line) b = random() % 8 == 0 ? alphabet[random() % alphabet.size()] : 'a' + random() % 26;
      // Exactly the room asked for, so that the sanitizer build sees a write past it.
      std::vector<char> fast(quoted_printable::EncodedLineBound(n)), portable(fast.size());
      const size_t fastSize = EncodeLine(line.data(), n, fast.data());
      const size_t portableSize = quoted_printable::PortableEncodeLine(line.data(), n, portable.data());
      ASSERT_EQ(std::string(fast.data(), fastSize), std::string(portable.data(), portableSize)) << n;
    }
  }
}

}  // namespace
