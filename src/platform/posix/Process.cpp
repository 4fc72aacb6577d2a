#include "platform/Process.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace platform {
namespace {
std::vector<std::string>& SavedArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}
}  // namespace

std::optional<std::string> RawCommandLine() { return std::nullopt; }

std::optional<std::string> Utf8CommandLine() { return std::nullopt; }

void SetArgumentVector(int argc, const char* const* argv) {
  SavedArguments().assign(argv, argv + (argc > 0 ? argc : 0));
}

std::vector<std::string> ArgumentVector() { return SavedArguments(); }

bool TakesLongOptions() { return true; }

std::string_view FurtherReading() { return "README.md and man mailshot tell more"; }

std::string_view GuidePlace() { return "/usr/share/doc/mailshot; man mailshot"; }

std::string ModuleFileName() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

std::string WorkingDirectory() {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::current_path(error);
  return error ? std::string() : directory.string();
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }

}  // namespace platform
