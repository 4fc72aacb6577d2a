#pragma once
// What a command line holds besides the switches the job reads: values that
// a "-", a "/" or a blank cut short, help words that are no help switch, and
// switch names that are not the program's. Each used to pass in silence or
// as the help with exit code 0; a misspelt /ENCRYPT sent the message in plain
// text, /B:/home/me/body.txt showed the help.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/CmdLineParser.h"

/// The findings on a parsed command line.
struct TSwitchReview {
  /// /H, /?, /HELP or -h was asked for, as an argument of its own.
  bool helpAsked = false;
  /// Why the job cannot run as written, found before any value is read: a
  /// help word that is no help switch standing alone, a switch that a "/"
  /// or a blank cut out of a value, a help word that a "-" cut out of one,
  /// a switch name that is not the program's but begins with one or is
  /// near one. The first in command-line order; empty when none.
  std::string refusal;
  /// The switches whose values a "-" cut short, leaving what is no switch,
  /// in command-line order. The job refuses them after the checks that
  /// name such a value (a file not found under the shortened name), whose
  /// texts tell more.
  std::vector<std::string> cutShort;
  /// For /V and /LOG: each value cut short and what was dropped, each
  /// switch ignored.
  std::vector<std::string> notes;

  /// Whether the value of switch name is among cutShort.
  bool CutShort(std::string_view name) const;
};

/// Reviews the tokens of cmd's last Parse. What was dropped from the value
/// of a switch of secretSwitches shows as "***", and no refusal shows such
/// a value.
TSwitchReview ReviewSwitches(const TCmdLineParser& cmd, std::span<const std::string_view> secretSwitches);

/// "The value of /S was cut at "-" (write /ES first to keep it whole)": the
/// refusal of a value of switch name that a "-" cut short.
std::string CutRefusal(std::string_view name);

/// The later switches, each found by its whole name only (the original ones
/// are found by their beginning).
std::span<const std::string_view> NamedSwitches();
