#pragma once
// Case rules of the system's ANSI code page, used where names are compared
// "without regard to case under the locale".

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

/// Upper case of s in the system's ANSI code page.
std::string AnsiUpperCase(const std::string& s);
/// Compares a and b without regard to case: <0, 0 or >0.
int AnsiCompareText(const std::string& a, const std::string& b);

/// The C1 control (U+0080 to U+009F, which some terminals obey) whose UTF-8
/// form starts at text[i]; 0 for none.
inline unsigned char Utf8C1Control(std::string_view text, std::size_t i) {
  if (static_cast<unsigned char>(text[i]) != 0xC2 || i + 1 == text.size()) return 0;
  const auto next = static_cast<unsigned char>(text[i + 1]);
  return next >= 0x80 && next <= 0x9F ? next : 0;
}

}  // namespace platform
