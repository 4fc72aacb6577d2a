#pragma once
// What a command line holds besides the switches the job reads: values that
// a "-" cut short, and switches that no lookup takes. Both used to pass in
// silence; a misspelt /ENCRYPT sent the message in plain text.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/CmdLineParser.h"

/// The findings on a parsed command line.
struct TSwitchReview {
  /// /H or /? was asked for: by a token of its own, not one cut out of a value.
  bool helpAsked = false;
  /// Why the job cannot run as written (a help switch cut out of a value, a
  /// misspelt switch of the program's own); empty when it can.
  std::string refusal;
  /// For /V and /LOG: each value cut short and what was dropped, each
  /// switch ignored.
  std::vector<std::string> notes;
};

/// Reviews the tokens of cmd's last Parse. What was dropped from the value
/// of a switch of secretSwitches shows as "***".
TSwitchReview ReviewSwitches(const TCmdLineParser& cmd, std::span<const std::string_view> secretSwitches);

/// The later switches, each found by its whole name only (the original ones
/// are found by their beginning).
std::span<const std::string_view> NamedSwitches();
