#pragma once
// GNU-style long options (--name value, --name=value) for systems where that
// is how programs are called. Each option is the counterpart of one switch:
// the arguments are translated into the switch tokens the parser would have
// cut out of the switch syntax, so an option does exactly what its switch
// does and no switch is read twice. Values are taken verbatim: unlike a
// switch's value, an option's may hold "/", "-" and ":".

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Exceptions.h"

/// The command line cannot be read as long options: an unknown or ambiguous
/// option, a missing or unwanted value, an argument that is no option, or
/// switches mixed in. The message is one line that ends with a usage hint.
class ECommandLineError : public Exception {
 public:
  using Exception::Exception;
};

/// One switch token: the switch's name and, when it has one, its value.
struct TSwitchToken {
  std::string Name;
  std::optional<std::string> Value;

  bool operator==(const TSwitchToken&) const = default;
};

/// The value of --body that stands for the standard input.
inline constexpr std::string_view kStandardInputValue = "-";

/// True when arguments (argument 0, the program, first) are to be read as
/// long options: the first argument after the program begins with "--".
bool IsLongOptionCommandLine(const std::vector<std::string>& arguments);

/// The switch tokens of arguments (argument 0, the program, first), in
/// order. Follows getopt_long: "--name value" and "--name=value" for an
/// option that needs a value (the next argument is taken whatever it looks
/// like), "--name=value" only for an optional one, an unambiguous beginning
/// of a name for the name, "--" ends the options. Raises ECommandLineError
/// for an unknown or ambiguous option, a missing value, a value given to an
/// option that takes none, a --format value other than the five, and any
/// argument that is not an option (a switch like /B:file among them: the two
/// syntaxes do not mix; no option takes a bare argument).
std::vector<TSwitchToken> TranslateLongOptions(const std::vector<std::string>& arguments);

/// Raises ECommandLineError when an argument after the first, in a command
/// line of switches, is a long option ("--subject", "--from=x"): a mix of
/// the two syntaxes, which the switch syntax would take for stray switches.
void RefuseLongOptionsAmongSwitches(const std::vector<std::string>& arguments);

/// The help text for the long options: usage lines, then one line per
/// option with its value and what it does; lines end with LF.
std::string LongOptionHelp();
