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

/// The switch that the long option named word stands for, as a switch is
/// written: "/S:" for one that takes a value, "/NM" for one that takes none,
/// "/FP, /FE, /FS, /FTS or /FH" for --format. word (without regard to case)
/// is an option's name or, with four letters or more, the beginning of one
/// (the shortest such). nullopt for any other word.
std::optional<std::string> SwitchForOptionName(std::string_view word);

/// The long option of the switch name with what follows it ("--body FILE",
/// "--format html" for FH); empty for a switch without one (PW, ES).
std::string OptionForSwitch(std::string_view name);

/// text with each switch it names that has a long option written as that
/// option: "/LOGIN" as "--login", "/ENCRYPT:TLS" as "--encrypt TLS", "/FH"
/// as "--format html", "switch /WAIT" as "option --wait". For the texts of
/// a run started with long options. A name counts after a "/" that follows
/// no letter or digit, in capitals, ending at no letter or digit; a switch
/// without an option (/PW, /ES) stays as it is.
std::string InOptionTerms(std::string_view text);

/// The help text for the long options: usage lines, then one line per
/// option with its value and what it does; lines end with LF.
std::string LongOptionHelp();
