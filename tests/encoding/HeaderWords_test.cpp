#include "encoding/HeaderWords.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using header_words::EncodedWords;

std::string DecodeBase64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    buffer = (buffer << 6) | static_cast<unsigned>(kAlphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return bytes;
}

/// The bytes each word carries, after checking its frame and length.
std::vector<std::string> Payloads(const std::vector<std::string>& words, const std::string& charset,
                                  size_t firstWidth) {
  std::vector<std::string> payloads;
  const std::string start = "=?" + charset + "?B?";
  for (const std::string& word : words) {
    EXPECT_LE(word.size(), payloads.empty() ? firstWidth : 75u) << word;
    EXPECT_EQ(word.substr(0, start.size()), start) << word;
    EXPECT_EQ(word.substr(word.size() - 2), "?=") << word;
    payloads.push_back(DecodeBase64(word.substr(start.size(), word.size() - start.size() - 2)));
  }
  return payloads;
}

bool IsWholeUtf8(const std::string& bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (i + length > bytes.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

TEST(EncodedWords, CarryTheTextInWholeCharactersWithinTheLimit) {
  const std::string cyrillic =
      "\xD0\x95\xD0\xB6\xD0\xB5\xD0\xBC\xD0\xB5\xD1\x81\xD1\x8F\xD1\x87\xD0\xBD\xD1\x8B\xD0\xB9 ";
  const std::string emoji = "\xF0\x9F\x93\x88";
  const struct {
    const char* name;
    std::string text;
    std::string charset;
    size_t firstWidth;
    size_t words;
  } cases[] = {
      {"empty text, no word", "", "UTF-8", 75, 0},
      {"short text, one word", "caf\xC3\xA9", "UTF-8", 75, 1},
      {"long Cyrillic text in UTF-8", cyrillic + cyrillic + cyrillic + cyrillic, "UTF-8", 75, 3},
      {"four-byte characters", emoji + emoji + emoji + emoji + emoji + emoji + emoji + emoji + emoji + emoji + emoji +
                                   emoji + "x",
       "UTF-8", 75, 2},
      {"a narrow first word", cyrillic, "UTF-8", 40, 2},
      {"single-byte charset", std::string(100, '\xE9'), "windows-1251", 69, 3},
      {"a long charset name leaves less room", std::string(40, '\xE9'), "ISO-8859-15", 75, 1},
  };
  for (const auto& c : cases) {
    const std::vector<std::string> words = EncodedWords(c.text, c.charset, c.firstWidth);
    EXPECT_EQ(words.size(), c.words) << c.name;
    std::string joined;
    for (const std::string& payload : Payloads(words, c.charset, c.firstWidth)) {
      if (c.charset == "UTF-8") {
        EXPECT_TRUE(IsWholeUtf8(payload)) << c.name;
      }
      joined += payload;
    }
    EXPECT_EQ(joined, c.text) << c.name;
  }
}

TEST(EncodedWords, KeepTheCharactersOfMultiByteCharsets) {
  const struct {
    const char* name;
    std::string text;  // at offset 0
    std::string charset;
    size_t length;     // of the first character
  } cases[] = {
      {"ASCII in any charset", "a\xE9", "Shift_JIS", 1},
      {"UTF-8 two bytes", "\xD0\x96x", "utf-8", 2},
      {"UTF-8 cut short at the end", "\xE2\x82", "UTF-8", 2},
      {"UTF-8 continuation missing", "\xE2x", "UTF8", 1},
      {"single-byte charset", "\xE9\xE9", "windows-1252", 1},
      {"Shift_JIS lead and trail", "\x82\xA0", "Shift_JIS", 2},
      {"Shift_JIS katakana is one byte", "\xB1\xB2", "shift_jis", 1},
      {"GBK pair", "\xC4\xE3", "GBK", 2},
      {"GB18030 four bytes", "\x81\x30\x81\x30", "GB18030", 4},
      {"EUC-JP three bytes", "\x8F\xA2\xAF", "EUC-JP", 3},
      {"Big5 pair at the end of the text", "\xA4", "Big5", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(header_words::CharacterLength(c.text, 0, c.charset), c.length) << c.name;
  }
  // Two-byte characters never straddle two words.
  std::string text;
  for (int i = 0; i < 60; ++i) text += "\x82\xA0";
  for (const std::string& payload : Payloads(EncodedWords(text, "Shift_JIS"), "Shift_JIS", 75)) {
    EXPECT_EQ(payload.size() % 2, 0u);
  }
}

}  // namespace
