#include "encoding/HeaderWords.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/AsciiCase.h"
#include "encoding/LineEncoding.h"

namespace header_words {
namespace {

constexpr std::string_view kWordStart = "=?";
constexpr std::string_view kBEncoding = "?B?";
constexpr std::string_view kWordEnd = "?=";
constexpr std::string_view kTokenSpecials = "()<>@,;:\"/[]?.=";
constexpr std::string_view kAttributeCharacters = "!#$&+-.^_`|~";
constexpr char kHexDigits[] = "0123456789ABCDEF";

/// How a charset groups its bytes into characters.
enum class Grouping {
  kSingleByte,
  kUtf8,
  kDoubleByte,  // a byte from 0x80 on leads a two-byte character (GBK, Big5, EUC-KR, EUC-CN)
  kShiftJis,    // the same, but 0xA1 to 0xDF are single-byte katakana
  kGb18030,     // a lead followed by a digit starts a four-byte character
  kEucJp,       // 0x8F leads a three-byte character
};

struct GroupedCharset {
  std::string_view name;
  Grouping grouping;
};

constexpr GroupedCharset kMultiByteCharsets[] = {
    {"utf-8", Grouping::kUtf8},           {"utf8", Grouping::kUtf8},
    {"shift_jis", Grouping::kShiftJis},   {"shift-jis", Grouping::kShiftJis},
    {"sjis", Grouping::kShiftJis},        {"windows-31j", Grouping::kShiftJis},
    {"cp932", Grouping::kShiftJis},       {"ms932", Grouping::kShiftJis},
    {"gb18030", Grouping::kGb18030},      {"euc-jp", Grouping::kEucJp},
    {"gbk", Grouping::kDoubleByte},       {"cp936", Grouping::kDoubleByte},
    {"gb2312", Grouping::kDoubleByte},    {"euc-cn", Grouping::kDoubleByte},
    {"big5", Grouping::kDoubleByte},      {"big5-hkscs", Grouping::kDoubleByte},
    {"cp950", Grouping::kDoubleByte},     {"euc-kr", Grouping::kDoubleByte},
    {"cp949", Grouping::kDoubleByte},     {"ks_c_5601-1987", Grouping::kDoubleByte},
    {"uhc", Grouping::kDoubleByte},       {"euc-tw", Grouping::kDoubleByte},
};

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

Grouping GroupingOf(std::string_view charset) {
  for (const GroupedCharset& known : kMultiByteCharsets) {
    if (SameName(known.name, charset)) return known.grouping;
  }
  return Grouping::kSingleByte;
}

std::uint8_t ByteAt(std::string_view text, std::size_t at) { return static_cast<std::uint8_t>(text[at]); }

std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const std::uint8_t lead = ByteAt(text, at);
  const std::size_t expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  std::size_t length = 1;
  while (length < expected && at + length < text.size() && (ByteAt(text, at + length) & 0xC0) == 0x80) ++length;
  return length;
}

}  // namespace

bool IsAscii(std::string_view text) {
  // Eight bytes a step: a body text may be tens of megabytes.
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    seen |= word;
    if ((i & 1023) == 0 && (seen & kHighBits) != 0) return false;
  }
  for (; i < text.size(); ++i) seen |= ByteAt(text, i);
  return (seen & kHighBits) == 0;
}

bool IsCharsetToken(std::string_view charset) {
  return !charset.empty() && std::all_of(charset.begin(), charset.end(), [](char c) {
    const auto byte = static_cast<std::uint8_t>(c);
    return byte > ' ' && byte < 0x7F && kTokenSpecials.find(c) == std::string_view::npos;
  });
}

std::size_t CharacterLength(std::string_view text, std::size_t at, std::string_view charset) {
  const std::uint8_t lead = ByteAt(text, at);
  if (lead < 0x80) return 1;
  std::size_t length = 1;
  switch (GroupingOf(charset)) {
    case Grouping::kSingleByte: break;
    case Grouping::kUtf8: return Utf8Length(text, at);
    case Grouping::kDoubleByte: length = 2; break;
    case Grouping::kShiftJis: length = lead >= 0xA1 && lead <= 0xDF ? 1 : 2; break;
    case Grouping::kGb18030: {
      const bool fourBytes = at + 1 < text.size() && ByteAt(text, at + 1) >= '0' && ByteAt(text, at + 1) <= '9';
      length = fourBytes ? 4 : 2;
      break;
    }
    case Grouping::kEucJp: length = lead == 0x8F ? 3 : 2; break;
  }
  return std::min(length, text.size() - at);
}

std::vector<std::string> EncodedWords(std::string_view text, std::string_view charset, std::size_t firstWidth) {
  std::vector<std::string> words;
  const std::size_t overhead = kWordStart.size() + charset.size() + kBEncoding.size() + kWordEnd.size();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t width = std::min(words.empty() ? firstWidth : kLongestWord, kLongestWord);
    // Four characters carry three bytes.
    const std::size_t room = width > overhead ? (width - overhead) / 4 * 3 : 0;
    std::size_t end = at + CharacterLength(text, at, charset);
    while (end < text.size()) {
      const std::size_t next = end + CharacterLength(text, end, charset);
      if (next - at > room) break;
      end = next;
    }
    std::string word;
    word.reserve(overhead + (end - at + 2) / 3 * 4);
    word += kWordStart;
    word += charset;
    word += kBEncoding;
    word += line_encoding::Base64(text.substr(at, end - at));
    word += kWordEnd;
    words.push_back(std::move(word));
    at = end;
  }
  return words;
}

std::string ExtendedValue(std::string_view text, std::string_view charset) {
  std::string value(charset);
  value += "''";
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (letterOrDigit || kAttributeCharacters.find(c) != std::string_view::npos) {
      value += c;
    } else {
      value += '%';
      value += kHexDigits[byte >> 4];
      value += kHexDigits[byte & 15];
    }
  }
  return value;
}

}  // namespace header_words
