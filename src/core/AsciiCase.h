#pragma once
// Case of ASCII letters alone, whatever the locale: names on the wire
// (schemes, charsets, media types, HTML tags) compare that way, and a byte of
// UTF-8 never changes.

#include <string>
#include <string_view>

/// c in lower case where it is an ASCII capital letter; any other byte as it is.
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

/// text with its ASCII capital letters in lower case.
inline std::string AsciiLowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = AsciiLower(c);
  return lowered;
}
