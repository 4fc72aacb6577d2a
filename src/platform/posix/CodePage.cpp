#include "platform/CodePage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/posix/CodePagePosix.h"

namespace platform::posix {
namespace {

constexpr char kUnicode[] = "UTF-32LE";

/// One iconv descriptor for the length of one conversion.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) ::iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  /// Converts the whole of in; false when some of it could not be converted
  /// (out then holds what came before the fault). in advances past what was used.
  bool Run(const char*& in, size_t& inLeft, std::string& out) {
    char buffer[64];
    while (inLeft > 0) {
      char* outPtr = buffer;
      size_t outLeft = sizeof buffer;
      const size_t result = ::iconv(cd_, const_cast<char**>(&in), &inLeft, &outPtr, &outLeft);
      out.append(buffer, static_cast<size_t>(outPtr - buffer));
      if (result == static_cast<size_t>(-1) && errno != E2BIG) return false;
    }
    return true;
  }
  void Reset() { ::iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

std::u32string Decode(const std::string& text, Converter& decoder) {
  std::u32string units;
  const char* in = text.data();
  size_t left = text.size();
  while (left > 0) {
    std::string bytes;
    const bool whole = decoder.Run(in, left, bytes);
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
      char32_t c = 0;
      for (int b = 3; b >= 0; --b) c = (c << 8) | static_cast<unsigned char>(bytes[i + static_cast<size_t>(b)]);
      units.push_back(c);
    }
    if (!whole) {
      // An undecodable or truncated sequence: one byte of it is one unknown character.
      units.push_back(U'\uFFFD');
      ++in;
      --left;
      decoder.Reset();
    }
  }
  return units;
}

}  // namespace

std::string ConvertCharacters(const std::string& text, const char* fromCodeset, const char* toCodeset) {
  Converter decoder(kUnicode, fromCodeset);
  Converter encoder(toCodeset, kUnicode);
  if (!decoder.valid() || !encoder.valid()) return text;
  std::string result;
  for (const char32_t c : Decode(text, decoder)) {
    char unit[4];
    for (int b = 0; b < 4; ++b) unit[b] = static_cast<char>((c >> (8 * b)) & 0xFF);
    const char* in = unit;
    size_t left = sizeof unit;
    std::string encoded;
    if (c != U'\uFFFD' && encoder.Run(in, left, encoded)) {
      result += encoded;
    } else {
      result += kReplacementCharacter;
      encoder.Reset();
    }
  }
  return result;
}

const char* OemCodesetForLocale(std::string_view localeName) {
  struct Pairing {
    std::string_view language;
    const char* codeset;
  };
  // Cyrillic, Western European and Central European languages; the rest use 437.
  static constexpr Pairing kPairings[] = {
      {"ru", "CP866"},  {"uk", "CP866"},  {"be", "CP866"}, {"bg", "CP866"}, {"mk", "CP866"},  {"kk", "CP866"},
      {"ky", "CP866"},  {"tt", "CP866"},  {"ba", "CP866"}, {"mn", "CP866"}, {"tg", "CP866"},  {"cv", "CP866"},
      {"de", "CP850"},  {"fr", "CP850"},  {"es", "CP850"}, {"it", "CP850"}, {"pt", "CP850"},  {"nl", "CP850"},
      {"da", "CP850"},  {"sv", "CP850"},  {"nb", "CP850"}, {"nn", "CP850"}, {"no", "CP850"},  {"fi", "CP850"},
      {"is", "CP850"},  {"ca", "CP850"},  {"eu", "CP850"}, {"gl", "CP850"}, {"ga", "CP850"},  {"gd", "CP850"},
      {"cy", "CP850"},  {"br", "CP850"},  {"oc", "CP850"}, {"lb", "CP850"}, {"fo", "CP850"},  {"fy", "CP850"},
      {"pl", "CP852"},  {"cs", "CP852"},  {"sk", "CP852"}, {"hu", "CP852"}, {"sl", "CP852"},  {"hr", "CP852"},
      {"ro", "CP852"},  {"sq", "CP852"},  {"bs", "CP852"}, {"sr", "CP852"}, {"hsb", "CP852"}, {"dsb", "CP852"},
  };
  const std::string_view language = localeName.substr(0, localeName.find_first_of("_.@"));
  for (const Pairing& pairing : kPairings) {
    if (pairing.language == language) return pairing.codeset;
  }
  return "CP437";
}

std::string MailCharsetName(std::string_view codeset) {
  if (codeset == "ANSI_X3.4-1968") return "US-ASCII";
  if (codeset.substr(0, 2) == "CP" && codeset.size() > 2) {
    // The DOS pages are registered as IBMnnn, the Windows ones as windows-nnnn.
    const std::string_view number = codeset.substr(2);
    return std::string(number.size() == 3 ? "IBM" : "windows-") + std::string(number);
  }
  return std::string(codeset);
}

namespace {

/// The locale name in force for characters, by the POSIX precedence of
/// LC_ALL, LC_CTYPE and LANG.
std::string CharacterLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

/// The codeset of that locale; ASCII when the locale is not installed.
std::string AnsiCodeset(const std::string& localeName) {
  locale_t locale = ::newlocale(LC_CTYPE_MASK, localeName.c_str(), static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return "ANSI_X3.4-1968";
  std::string codeset = ::nl_langinfo_l(CODESET, locale);
  ::freelocale(locale);
  return codeset;
}

}  // namespace

std::string CharacterCodeset() { return AnsiCodeset(CharacterLocaleName()); }

}  // namespace platform::posix

namespace platform {

std::string ConvertAnsiToOem(const std::string& text) {
  const std::string locale = posix::CharacterLocaleName();
  return posix::ConvertCharacters(text, posix::AnsiCodeset(locale).c_str(), posix::OemCodesetForLocale(locale));
}

std::string ConvertAnsiToKoi8r(const std::string& text) {
  const std::string locale = posix::CharacterLocaleName();
  return posix::ConvertCharacters(text, posix::AnsiCodeset(locale).c_str(), "KOI8-R");
}

std::string OemCharsetName() {
  return posix::MailCharsetName(posix::OemCodesetForLocale(posix::CharacterLocaleName()));
}

std::optional<std::string> ConvertToUtf8(const std::string& text, const char* ianaName, unsigned /*codePage*/) {
  posix::Converter converter("UTF-8", ianaName);
  if (!converter.valid()) return std::nullopt;
  const char* in = text.data();
  size_t left = text.size();
  std::string converted;
  // A sequence cut off at the end fails like an invalid one.
  if (!converter.Run(in, left, converted)) return std::nullopt;
  return converted;
}

std::string LogFileText(const std::string& text) { return text; }

std::string SystemCharsetName() {
  const std::string name = posix::MailCharsetName(posix::AnsiCodeset(posix::CharacterLocaleName()));
  return name == "US-ASCII" ? "UTF-8" : name;
}

}  // namespace platform
