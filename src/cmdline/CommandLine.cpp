#include "cmdline/CommandLine.h"

#include "platform/Process.h"

namespace {
constexpr char kQuote = '"';

bool IsSeparator(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> arguments;
  size_t at = 0;
  for (;;) {
    while (at < line.size() && IsSeparator(line[at])) ++at;
    if (at == line.size()) return arguments;
    std::string argument;
    bool quoted = false;
    for (; at < line.size(); ++at) {
      const char c = line[at];
      if (c == kQuote) {
        quoted = !quoted;
      } else if (!quoted && IsSeparator(c)) {
        break;
      } else {
        argument += c;
      }
    }
    arguments.push_back(std::move(argument));
  }
}

std::vector<std::string> ArgumentsFromCommandLine(std::string_view commandLine, const std::string& moduleFileName) {
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  if (arguments.empty()) return {moduleFileName};
  arguments.front() = moduleFileName;
  return arguments;
}

std::vector<std::string> ProcessArguments() {
  if (const std::optional<std::string> commandLine = platform::RawCommandLine()) {
    return ArgumentsFromCommandLine(*commandLine, platform::ModuleFileName());
  }
  return platform::ArgumentVector();
}
