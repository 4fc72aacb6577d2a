#include "platform/Gui.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Text.h"
#include "platform/posix/CodePagePosix.h"

namespace platform {

namespace {

/// True when the console's characters are UTF-8, as the locale says.
bool ConsoleIsUtf8() {
  static const bool utf8 = [] {
    std::string codeset;
    for (const char c : posix::CharacterCodeset()) {
      if (c != '-' && c != '_') codeset += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return codeset == "UTF8";
  }();
  return utf8;
}

// CR, LF and CR LF each become one line break; a text that ends in one
// (a server's reply line) gets no second. Every other control character but
// the tab shows as \xNN, and on a UTF-8 console a C1 control (which some
// terminals obey) as \u0080 to \u009f: a server's text must not drive the
// terminal. In a single-byte charset 0x80 to 0x9F are letters and stay.
void WriteLine(std::FILE* stream, const std::string& text) {
  bool atLineStart = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    atLineStart = c == '\r' || c == '\n';
    if (atLineStart) {
      std::fputc('\n', stream);
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      std::fprintf(stream, "\\x%02X", c);
    } else if (const unsigned char control = ConsoleIsUtf8() ? Utf8C1Control(text, i) : 0) {
      std::fprintf(stream, "\\u%04x", control);
      ++i;
    } else {
      std::fputc(c, stream);
    }
  }
  if (!atLineStart) std::fputc('\n', stream);
  std::fflush(stream);
}
}  // namespace

bool WriteToConsole(const std::string& text) {
  const std::string line = text + "\n";
  return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
}

void ShowMessageBox(const std::string&, const std::string& text, BoxIcon icon) {
  WriteLine(icon == BoxIcon::kError ? stderr : stdout, text);
}

void ShowNoticeBox(const std::string&, const std::string& text) { WriteLine(stdout, text); }

void CloseNoticeBox() {}

bool OpenInBrowser(const std::string&) { return false; }

bool CopyToClipboard(const std::string&) { return false; }

// The console has no window to keep on screen: once the job is done there is
// nothing left for a message loop to serve.
void RunStatusWindow(const std::function<void()>& onShow) { onShow(); }

void SetStatusText(const std::string& text) { WriteLine(stderr, text); }

void ShowProgress(const std::string&) {}

void RequestClose() {}

bool WindowStationVisible() { return true; }

std::size_t BoxListRoom() { return SIZE_MAX; }

void EndProcess(int exitCode) { std::exit(exitCode); }

}  // namespace platform
