#pragma once
// The charsets this program can name in mail: each under its IANA preferred
// name (RFC 2978), found by any of its usual spellings, with the Windows
// code page that holds it.

#include <optional>
#include <string_view>

namespace charsets {

struct TCharset {
  std::string_view name;  // the IANA preferred name, as mail writes it
  unsigned codePage;      // the Windows code page of the same characters
};

inline constexpr TCharset kUtf8{"UTF-8", 65001};

/// The charset that name stands for, case, "-", "_" and blanks aside
/// ("utf8", "CP1251", "windows1251", "koi8r", "latin1", "ISO_8859-5"...);
/// nullopt for a name not known here.
std::optional<TCharset> Known(std::string_view name);

/// True when text is well-formed UTF-8 (RFC 3629: no overlong form, no
/// surrogate, nothing above U+10FFFF).
bool IsUtf8(std::string_view text);

}  // namespace charsets
