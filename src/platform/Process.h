#pragma once
// Where the process's arguments, its environment and its own path come from.
// Windows hands a process one command-line string; POSIX systems hand main an
// argument vector.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// The command line as the system handed it to the process (GetCommandLineA),
/// or nullopt where the platform passes an argument vector instead.
std::optional<std::string> RawCommandLine();

/// The command line in UTF-8 where the system keeps it in UTF-16, so that
/// characters outside the ANSI code page survive (Windows:
/// GetCommandLineW); nullopt where arguments come as bytes (POSIX), which
/// are then used as they are.
std::optional<std::string> Utf8CommandLine();

/// Keeps main's argument vector for ArgumentVector; the program's main calls
/// it first thing. Windows needs no copy: its C runtime keeps one.
void SetArgumentVector(int argc, const char* const* argv);

/// The argument vector, argument 0 first: on POSIX the one given to
/// SetArgumentVector (empty before that), on Windows the C runtime's.
std::vector<std::string> ArgumentVector();

/// True where programs are called with GNU-style long options (POSIX
/// systems); false on Windows, whose programs keep the switch syntax alone.
bool TakesLongOptions();

/// Where the help's further switches are told of in full, as its heading
/// says: the README beside the Windows program, else the README and the
/// manual page.
std::string_view FurtherReading();

/// Where the installed guide is, as the help names it.
std::string_view GuidePlace();

/// The full path of the running program's file; empty when it cannot be told.
std::string ModuleFileName();

/// The process's working directory, which every relative name of a run is
/// taken from: in UTF-8 on Windows (from its UTF-16 name), as the system's
/// bytes elsewhere; empty when it cannot be told.
std::string WorkingDirectory();

/// The value of the process's environment variable name; nullopt when it is
/// not set.
std::optional<std::string> EnvironmentVariable(const std::string& name);

/// The running process's identifier, as the system's tools show it.
unsigned long ProcessId();

}  // namespace platform
