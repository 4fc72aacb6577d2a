#include "platform/Gui.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {
// CR, LF and CR LF each become one line break; a text that ends in one
// (a server's reply line) gets no second. Every other control character but
// the tab shows as \xNN: a server's text must not drive the terminal.
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

// The console has no window to keep on screen: once the job is done there is
// nothing left for a message loop to serve.
void RunStatusWindow(const std::function<void()>& onShow) { onShow(); }

void SetStatusText(const std::string& text) { WriteLine(stderr, text); }

void RequestClose() {}

void EndProcess(int exitCode) { std::exit(exitCode); }

}  // namespace platform
