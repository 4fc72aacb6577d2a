#include "platform/Gui.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {
// CR, LF and CR LF each become one line break; a text that ends in one
// (a server's reply line) gets no second.
void WriteLine(std::FILE* stream, const std::string& text) {
  bool atLineStart = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    atLineStart = text[i] == '\r' || text[i] == '\n';
    std::fputc(atLineStart ? '\n' : text[i], stream);
  }
  if (!atLineStart) std::fputc('\n', stream);
  std::fflush(stream);
}
}  // namespace

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
