#pragma once
// The process arguments as the parser reads them. Where the platform hands
// over one command-line string (Windows), it is split here by the program's
// own rule rather than the C runtime's; where it passes an argument vector,
// the vector is used as it comes.

#include <string>
#include <string_view>
#include <vector>

/// Splits a command line into arguments. Blanks and control characters
/// (codes 0 to 32) separate arguments; a double-quoted stretch may hold them;
/// the quote characters are dropped wherever they stand. A quote left open
/// runs to the end of the line. "" makes an empty argument, so the arguments
/// after it keep the places the caller gave them. Backslashes are ordinary.
std::vector<std::string> SplitCommandLine(std::string_view line);

/// The arguments of a process started with commandLine: argument 0 is
/// moduleFileName (the program's full path, whatever the caller typed for it),
/// the rest are the split command line after its first argument.
std::vector<std::string> ArgumentsFromCommandLine(std::string_view commandLine, const std::string& moduleFileName);

/// The arguments of this process, argument 0 (the program) first.
std::vector<std::string> ProcessArguments();
