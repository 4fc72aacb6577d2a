// station_launcher (Windows only): starts a program on a window station of
// its own, which nobody sees (only WinSta0 is visible), as a service or a
// task run whether or not a user is logged on would find itself; waits for
// it and ends with its exit code.
//
//   station_launcher.exe STATION PROGRAM [ARGUMENT...]
//
// The program's command line is the launcher's own from PROGRAM on, as it
// stands. Exit code 99 when the program cannot be started.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

/// The command line after its first count arguments (blanks and quotes as
/// the program's own splitting knows them).
const char* AfterArguments(const char* line, int count) {
  for (int i = 0; i < count; ++i) {
    while (*line == ' ' || *line == '\t') ++line;
    bool quoted = false;
    while (*line != '\0' && (quoted || (*line != ' ' && *line != '\t'))) {
      if (*line == '"') quoted = !quoted;
      ++line;
    }
  }
  while (*line == ' ' || *line == '\t') ++line;
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr int kCannotStart = 99;
  if (argc < 3) {
    std::fprintf(stderr, "usage: station_launcher STATION PROGRAM [ARGUMENT...]\n");
    return kCannotStart;
  }
  std::string desktop = std::string(argv[1]) + "\\Default";
  std::string commandLine = AfterArguments(::GetCommandLineA(), 2);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop.data();
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
    std::fprintf(stderr, "station_launcher: cannot start %s (error %lu)\n", argv[2], ::GetLastError());
    return kCannotStart;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = kCannotStart;
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}
