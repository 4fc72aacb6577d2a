#include "encoding/Charsets.h"

#include <string>

#include "core/AsciiCase.h"

namespace charsets {
namespace {

struct Spellings {
  TCharset charset;
  std::string_view keys;  // its spellings reduced as Key does, separated by blanks
};

constexpr Spellings kCharsets[] = {
    {kUtf8, "utf8"},
    {{"US-ASCII", 20127}, "usascii ascii ansix3.41968 iso646us"},
    {{"windows-1250", 1250}, "windows1250 cp1250 win1250"},
    {{"windows-1251", 1251}, "windows1251 cp1251 win1251"},
    {{"windows-1252", 1252}, "windows1252 cp1252 win1252"},
    {{"windows-1253", 1253}, "windows1253 cp1253 win1253"},
    {{"windows-1254", 1254}, "windows1254 cp1254 win1254"},
    {{"windows-1255", 1255}, "windows1255 cp1255 win1255"},
    {{"windows-1256", 1256}, "windows1256 cp1256 win1256"},
    {{"windows-1257", 1257}, "windows1257 cp1257 win1257"},
    {{"windows-1258", 1258}, "windows1258 cp1258 win1258"},
    {{"KOI8-R", 20866}, "koi8r cp20866"},
    {{"KOI8-U", 21866}, "koi8u cp21866"},
    {{"ISO-8859-1", 28591}, "iso88591 latin1 l1 cp28591"},
    {{"ISO-8859-2", 28592}, "iso88592 latin2 l2 cp28592"},
    {{"ISO-8859-3", 28593}, "iso88593 latin3 l3 cp28593"},
    {{"ISO-8859-4", 28594}, "iso88594 latin4 l4 cp28594"},
    {{"ISO-8859-5", 28595}, "iso88595 cyrillic cp28595"},
    {{"ISO-8859-6", 28596}, "iso88596 arabic cp28596"},
    {{"ISO-8859-7", 28597}, "iso88597 greek cp28597"},
    {{"ISO-8859-8", 28598}, "iso88598 hebrew cp28598"},
    {{"ISO-8859-9", 28599}, "iso88599 latin5 l5 cp28599"},
    {{"ISO-8859-13", 28603}, "iso885913 cp28603"},
    {{"ISO-8859-15", 28605}, "iso885915 latin9 cp28605"},
    {{"IBM437", 437}, "ibm437 cp437"},
    {{"IBM850", 850}, "ibm850 cp850"},
    {{"IBM852", 852}, "ibm852 cp852"},
    {{"IBM866", 866}, "ibm866 cp866"},
    {{"Shift_JIS", 932}, "shiftjis sjis cp932"},
    {{"EUC-JP", 20932}, "eucjp"},
    {{"ISO-2022-JP", 50220}, "iso2022jp"},
    {{"GBK", 936}, "gbk cp936"},
    {{"GB2312", 936}, "gb2312"},
    {{"GB18030", 54936}, "gb18030"},
    {{"Big5", 950}, "big5 cp950"},
    {{"EUC-KR", 949}, "euckr cp949"},
};

/// name in lower case, without "-", "_" and blanks: the form the keys have.
std::string Key(std::string_view name) {
  std::string key;
  for (char c : name) {
    if (c == '-' || c == '_' || c == ' ') continue;
    key += AsciiLower(c);
  }
  return key;
}

bool HasKey(std::string_view keys, std::string_view key) {
  for (std::size_t start = 0; start < keys.size();) {
    const std::size_t end = std::min(keys.find(' ', start), keys.size());
    if (keys.substr(start, end - start) == key) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<TCharset> Known(std::string_view name) {
  const std::string key = Key(name);
  if (key.empty()) return std::nullopt;
  for (const Spellings& spellings : kCharsets) {
    if (HasKey(spellings.keys, key)) return spellings.charset;
  }
  return std::nullopt;
}

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned lead = byte(i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace charsets
