#pragma once
// Line rules shared by the composition and the dialogue of the SMTP client.

#include <string>
#include <string_view>

namespace smtp_text {

inline constexpr std::string_view kCrLf = "\r\n";

/// text without the line ends it closes with (a reply line as received).
inline std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

/// The enhanced status code (RFC 3463) that opens a reply line's text,
/// "4.5.3"; empty when it has none.
inline std::string EnhancedStatus(std::string_view line) {
  if (line.size() < 5) return {};
  const std::string_view word = line.substr(4, line.find_first_of(" \r\n", 4) - 4);
  int dots = 0;
  bool digitBefore = false;
  for (char c : word) {
    if (c == '.') {
      if (!digitBefore) return {};
      ++dots;
      digitBefore = false;
    } else if (c >= '0' && c <= '9') {
      digitBefore = true;
    } else {
      return {};
    }
  }
  return dots == 2 && digitBefore ? std::string(word) : std::string();
}

/// True when value holds a CR, an LF or a NUL, any of which would end a
/// command or header line early and start another (a forged recipient, an
/// extra header).
inline bool BreaksLine(std::string_view value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

/// Appends line and CR LF, with one more "." in front of a leading ".", so
/// that no line of the data phase can pass for its end.
inline void AppendDataLine(std::string& text, std::string_view line) {
  if (!line.empty() && line.front() == '.') text += '.';
  text += line;
  text += kCrLf;
}

/// The part of an attachment entry after its last "\", "/" or ":". Both
/// kinds of slash separate folders (Windows takes either), and a name that
/// kept its folders would show the recipient the sender's paths.
inline std::string AttachmentFileName(const std::string& entry) {
  const size_t cut = entry.find_last_of("\\/:");
  return cut == std::string::npos ? entry : entry.substr(cut + 1);
}

}  // namespace smtp_text
