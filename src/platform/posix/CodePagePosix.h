#pragma once
// The POSIX pieces behind platform/CodePage.h, open to tests so that the
// choice of code pages can be checked without installing locales.

#include <string>
#include <string_view>

namespace platform::posix {

/// What stands in for a character the target code page lacks.
inline constexpr char kReplacementCharacter = '?';

/// text decoded from fromCodeset and encoded into toCodeset one character at
/// a time (iconv names); undecodable bytes and characters the target lacks
/// each become kReplacementCharacter. An unknown codeset leaves text unchanged.
std::string ConvertCharacters(const std::string& text, const char* fromCodeset, const char* toCodeset);

/// The iconv name of the DOS code page that Windows pairs with the language
/// of localeName ("ru_RU.UTF-8", "de_DE@euro", "C"): CP866 for Cyrillic
/// languages, CP850 for Western European, CP852 for Central European,
/// CP437 for every other.
const char* OemCodesetForLocale(std::string_view localeName);

/// The codeset of the locale in force for characters (LC_ALL, LC_CTYPE,
/// LANG): "UTF-8", "ISO-8859-1", ...; ASCII's name when it is not installed.
std::string CharacterCodeset();

/// The mail (IANA) charset name of an iconv or nl_langinfo codeset name:
/// "CP866" is "IBM866", "CP1251" "windows-1251", "ANSI_X3.4-1968"
/// "US-ASCII"; others ("UTF-8", "KOI8-R", "ISO-8859-5") stand as they are.
std::string MailCharsetName(std::string_view codeset);

}  // namespace platform::posix
