#include "platform/Process.h"

#include <windows.h>

#include <cstdlib>

namespace platform {

std::optional<std::string> RawCommandLine() {
  const char* line = ::GetCommandLineA();
  return std::string(line ? line : "");
}

namespace {
/// text, ended by a zero, in UTF-8; nullopt when it cannot be converted.
std::optional<std::string> Utf8(const wchar_t* text) {
  if (*text == L'\0') return std::string();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string converted(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr);
  converted.resize(static_cast<size_t>(size) - 1);  // the terminating zero
  return converted;
}
}  // namespace

std::optional<std::string> Utf8CommandLine() {
  const wchar_t* line = ::GetCommandLineW();
  if (line == nullptr) return std::string();
  return Utf8(line);
}

void SetArgumentVector(int, const char* const*) {}

std::vector<std::string> ArgumentVector() { return std::vector<std::string>(__argv, __argv + __argc); }

bool TakesLongOptions() { return false; }

std::string_view FurtherReading() { return "README.txt tells more"; }

std::string_view GuidePlace() { return "GUIDE.txt beside mailshot.exe"; }

std::string ModuleFileName() {
  // Paths may be longer than MAX_PATH; a full buffer means the name was cut.
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string WorkingDirectory() {
  // The directory may change size between the calls: ask again until it fits.
  std::wstring directory;
  for (DWORD room = MAX_PATH;;) {
    directory.resize(room);
    const DWORD length = ::GetCurrentDirectoryW(room, directory.data());
    if (length == 0) return std::string();
    if (length < room) {
      directory.resize(length);
      return Utf8(directory.c_str()).value_or(std::string());
    }
    room = length;  // the size needed, terminating zero included
  }
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  // The value may change size between the calls: ask again until it fits.
  std::string value;
  for (DWORD room = 256;;) {
    value.resize(room);
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableA(name.c_str(), value.data(), room);
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < room) {
      value.resize(length);
      return value;
    }
    room = length;  // the size needed, terminating zero included
  }
}

unsigned long ProcessId() { return ::GetCurrentProcessId(); }

}  // namespace platform
