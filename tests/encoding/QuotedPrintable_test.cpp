#include "encoding/QuotedPrintable.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using quoted_printable::EncodeLine;

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

/// Decodes one encoded line (with its CR LF) as a reader does, and checks
/// the rules every encoded line keeps: at most 76 characters, soft breaks
/// only at the end, no blank before a hard line end, no "." in front,
/// nothing but printable ASCII.
std::string Decode(const std::string& encoded) {
  EXPECT_GE(encoded.size(), 2u);
  EXPECT_EQ(encoded.substr(encoded.size() - 2), "\r\n");
  std::string text;
  size_t start = 0;
  while (start < encoded.size()) {
    const size_t end = encoded.find("\r\n", start);
    const std::string line = encoded.substr(start, end - start);
    start = end + 2;
    EXPECT_LE(line.size(), 76u) << line;
    EXPECT_NE(line.substr(0, 1), ".") << line;
    const bool soft = !line.empty() && line.back() == '=';
    if (!soft && start < encoded.size()) ADD_FAILURE() << "a hard line end inside one line of text: " << line;
    if (!soft && !line.empty()) {
      EXPECT_TRUE(line.back() != ' ' && line.back() != '\t') << line;
    }
    for (size_t i = 0; i < line.size() - (soft ? 1 : 0); ++i) {
      const char c = line[i];
      EXPECT_TRUE((c >= 32 && c <= 126) || c == '\t') << static_cast<int>(c);
      if (c == '=') {
        text += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
        i += 2;
      } else {
        text += c;
      }
    }
  }
  return text;
}

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
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeLine(c.line), c.encoded) << c.name;
}

TEST(QuotedPrintable, DecodesToTheLineWithinTheLimits) {
  std::mt19937 random(7);
  // Mostly text, some bytes to escape, blanks where they may end a line.
  const std::string alphabet = std::string("abcdefghij KLMNOP<>=.\t") + "\xD0\xB9\x80\xFF";
  for (size_t length : {1u, 74u, 75u, 76u, 77u, 150u, 151u, 998u, 999u, 5000u}) {
    for (int round = 0; round < 50; ++round) {
      std::string line(length, ' ');
      for (char& c : line) c = alphabet[random() % alphabet.size()];
      const std::string encoded = EncodeLine(line);
      ASSERT_EQ(Decode(encoded), line) << encoded;
      EXPECT_LE(encoded.size(), quoted_printable::EncodedLineBound(length));
    }
  }
  const std::string worst(999, '\xFF');
  EXPECT_LE(EncodeLine(worst).size(), quoted_printable::EncodedLineBound(worst.size()));
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
