#include "main/SwitchReview.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "cmdline/LongOptions.h"
#include "core/AsciiCase.h"
#include "core/Exceptions.h"
#include "core/Secrets.h"

namespace {

/// The original switches by their whole names, the help's long name among
/// them. The job looks them up by their beginning (so /SMTP, /SD and /SK
/// count as /S, /FH as /F): a longer name that begins with one would be
/// taken for it.
constexpr std::string_view kOriginalSwitches[] = {"H",  "?",  "HELP", "B",  "T",  "F",  "S",   "SMTP", "U",  "A",  "CS",
                                                  "SD", "SK", "FP",   "FE", "FS", "FTS", "FH", "RR",   "ES", "NM", "NE"};
/// The later switches, each found by its whole name only.
constexpr std::string_view kSwitchesByName[] = {
    "CC",    "RCPT", "REPLYTO", "ENCLOSE", "ENCRYPT", "CAFILE", "INSECURE",  "LOGIN",   "PW",  "PWF",
    "PWCRED", "PWCMD", "MECH",  "OAUTH", "OAUTHSETUP", "WAIT", "RETRY", "V",      "LOG",      "NOPARTIAL", "VERSION",
    "PLAINTEXT", "MAXRCPT", "DSN", "DSNRET",
};
/// The switches that go without a value (/V with one or without): alone
/// they are whole switches.
constexpr std::string_view kWithoutValue[] = {"SD", "SK", "FP", "FE", "FS", "FTS", "FH", "RR", "ES", "NM", "NE",
                                              "INSECURE", "NOPARTIAL", "VERSION", "V"};
/// The help switches; they ask for the help only as an argument of their own.
constexpr std::string_view kHelpSwitches[] = {"H", "?", "HELP"};

/// A word that a prefix lookup would take for the wrong switch, and what
/// it most likely meant: a user name is no HELO name.
struct TMeantWord {
  std::string_view beginning;
  std::string_view meant;
};
constexpr TMeantWord kMeantWords[] = {
    {"USER", "/LOGIN: to log in, or /U: to name this machine"},
    {"ATTACH", "/ENCLOSE: for a file, or /A: for a list of files"},
};

/// /SMTP is the original set's only name of four letters or more.
constexpr std::string_view kServerSwitch = "SMTP";
/// A misspelt name is matched against the program's own names of this many
/// letters or more: nearly every short word is two edits from NM or SD.
constexpr std::size_t kShortestSuggested = 4;
constexpr std::size_t kMostEdits = 2;

constexpr std::string_view kCutHelp = "The value of /%s was cut at \"-\" (write /ES first to keep it whole)";
constexpr std::string_view kCutNote = "the value of /%s was cut at \"-\": ";
// "Unknown switch /ENCRPYT (did you mean /ENCRYPT?)"
constexpr std::string_view kUnknownSwitch = "Unknown switch ";
constexpr std::string_view kDidYouMean = " (did you mean ";
constexpr std::string_view kDidYouMeanEnd = "?)";
constexpr std::string_view kIgnored = "the unknown switch %s was ignored";
// "/H:x does not ask for the help: ..."
constexpr std::string_view kNoHelp = " does not ask for the help: only /H, /? or /HELP as an argument of its own does.";
// "The value of /B was cut at "/": in /B:/home/me/body.txt every "/" starts a
// switch, so /B gets "" and the rest is read as switches." and the hint.
constexpr std::string_view kSlashCut = "The value of /%s was cut at \"/\": in ";
constexpr std::string_view kSlashCutRead = " every \"/\" starts a switch, so /";
constexpr std::string_view kSlashCutRest = "\" and the rest is read as switches.";
constexpr std::string_view kSlashHint =
    " A switch's value cannot hold \"/\": name a file relative to the working directory";
constexpr std::string_view kSlashHintOptions = ", or give every setting as a long option, whose value can";
constexpr std::string_view kSlashHintBackslash = ", or with \"\\\".";
// "The value of /S ends at a blank: /S gets "Nightly" and health check is
// left over. Put a value with blanks in double quotes: "/S:Nightly health check"."
constexpr std::string_view kBlankCut = "The value of /%s ends at a blank: /";
constexpr std::string_view kBlankCutRest = " is left over. Put a value with blanks in double quotes: \"";
constexpr std::string_view kGets = " gets \"";
constexpr std::string_view kGetsEnd = "\" and ";
// "The value of /PW was cut at "/": put the password in a file and name it with /PWF."
constexpr std::string_view kSecretCut = "The value of /%s was cut at %s: put the password in a file and name it with /PWF.";
constexpr std::string_view kAtSlash = "\"/\"";
constexpr std::string_view kAtBlank = "a blank";

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool Listed(const TCmdLineParser& cmd, std::span<const std::string_view> names, const std::string& name) {
  return std::any_of(names.begin(), names.end(),
                     [&](std::string_view listed) { return cmd.SameParamName(name, std::string(listed)); });
}

bool IsProgramSwitch(const TCmdLineParser& cmd, const std::string& name) {
  return Listed(cmd, kOriginalSwitches, name) || Listed(cmd, kSwitchesByName, name);
}

/// Whether a token named name, with a value or not, is a switch in its own
/// right where it could also be the rest of a value: one of the program's
/// switches, given a value or going without one. A help word never is (it
/// counts only standing alone).
bool StandsAsSwitch(const TCmdLineParser& cmd, const std::string& name, bool hasValue) {
  return IsProgramSwitch(cmd, name) && !Listed(cmd, kHelpSwitches, name) &&
         (hasValue || Listed(cmd, kWithoutValue, name));
}

/// The edits (a letter left out, added or changed, two neighbours swapped)
/// that turn a into b, letters compared without regard to case; only
/// whether they are more than two counts where the lengths differ by more.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  // Names far apart in length need no table (a stray argument may be long).
  if (std::max(a.size(), b.size()) - std::min(a.size(), b.size()) > kMostEdits) return kMostEdits + 1;
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const bool same = UpperAscii(a[i - 1]) == UpperAscii(b[j - 1]);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (same ? 0 : 1)});
      const bool swapped = i > 1 && j > 1 && UpperAscii(a[i - 1]) == UpperAscii(b[j - 2]) &&
                           UpperAscii(a[i - 2]) == UpperAscii(b[j - 1]);
      if (swapped) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

/// The program's own switch that name is a misspelling of: the nearest one
/// of four letters or more within two edits, the first of equals.
std::optional<std::string_view> MisspeltSwitch(std::string_view name) {
  std::optional<std::string_view> meant;
  std::size_t fewest = kMostEdits + 1;
  auto consider = [&](std::string_view own) {
    if (own.size() < kShortestSuggested) return;
    const std::size_t edits = EditDistance(name, own);
    if (edits < fewest) {
      fewest = edits;
      meant = own;
    }
  };
  consider(kServerSwitch);
  for (const std::string_view own : kSwitchesByName) consider(own);
  return meant;
}

/// What a switch name that is not the program's was likely meant as, as a
/// switch is written ("/S:", "/SMTP"). For a name that begins with an
/// original switch, which its prefix lookup would take: a word of
/// kMeantWords, a long option's name, a misspelling, else the longest such
/// switch. For any other name: a misspelling of a written switch (a stray
/// word is no switch at all). nullopt when nothing was likely meant.
std::optional<std::string> MeantSwitch(const TCmdLineParser& cmd, const std::string& name, bool written) {
  std::string_view longest;
  for (const std::string_view own : kOriginalSwitches) {
    if (own.size() > longest.size() && cmd.SameParamName(name.substr(0, own.size()), std::string(own))) longest = own;
  }
  if (!longest.empty()) {
    for (const TMeantWord& word : kMeantWords) {
      if (cmd.SameParamName(name.substr(0, word.beginning.size()), std::string(word.beginning))) {
        return std::string(word.meant);
      }
    }
    if (std::optional<std::string> option = SwitchForOptionName(name)) return option;
  }
  if (written) {
    if (const std::optional<std::string_view> misspelt = MisspeltSwitch(name)) return "/" + std::string(*misspelt);
  }
  if (longest.empty()) return std::nullopt;
  const bool takesValue =
      !Listed(cmd, kWithoutValue, std::string(longest)) && !Listed(cmd, kHelpSwitches, std::string(longest));
  return "/" + std::string(longest) + (takesValue ? ":" : "");
}

/// The hint after a value cut at "/": how to write a value that holds one.
std::string SlashHint(const TCmdLineParser& cmd, const std::string& name) {
  std::string hint(kSlashHint);
  if (!cmd.LongOptions()) return hint + std::string(kSlashHintBackslash);
  hint += kSlashHintOptions;
  const std::string option = OptionForSwitch(name);
  return hint + (option.empty() ? "." : " (" + option + ").");
}

/// The arguments after the program as the run log shows them: no secret value.
struct TShownArguments {
  std::vector<std::string> arguments;

  /// Argument number argument (1 the first after the program); empty for none.
  std::string Of(int argument) const {
    return argument >= 1 && static_cast<std::size_t>(argument) <= arguments.size() ? arguments[argument - 1]
                                                                                   : std::string();
  }
};

/// One token of a parse and where it stands among the arguments.
struct TToken {
  TToken(const TCmdLineParser& cmd, int index)
      : origin(cmd.TokenOrigin(index)),
        name(cmd.ParamName(index)),
        hasValue(name.size() < cmd.Params()[index].size()),
        firstOfArgument(index == 0 || cmd.TokenOrigin(index - 1).argument != origin.argument),
        // A help switch is a whole argument of its own, written as a switch (/H, -h) or an option.
        alone(origin.argument < 0 || (origin.switchWritten && firstOfArgument &&
                                      (index + 1 == cmd.ParamsCount() ||
                                       cmd.TokenOrigin(index + 1).argument != origin.argument))) {}

  /// Whether it may be the rest of the value before it: cut out of an
  /// argument, or an argument of its own that no switch character starts.
  bool MayContinueValue() const {
    return origin.argument >= 0 && (origin.cutValue >= 0 || !firstOfArgument || !origin.switchWritten);
  }

  TCmdLineParser::TTokenOrigin origin;
  std::string name;
  bool hasValue;
  bool firstOfArgument;
  bool alone;
};

/// The refusal of a value that a "/" cut short: token owner's value, in the
/// argument shown as argument.
std::string SlashCutRefusal(const TCmdLineParser& cmd, int owner, const std::string& argument) {
  const std::string name = cmd.ParamName(owner);
  return FillPlaceholder(kSlashCut, name) + argument + std::string(kSlashCutRead) + name + std::string(kGets) +
         cmd.ParamValue(owner) + std::string(kSlashCutRest) + SlashHint(cmd, name);
}

/// The refusal of a value that a blank cut short: token owner's value,
/// continued by the argument of token first and those like it after it.
std::string BlankCutRefusal(const TCmdLineParser& cmd, int owner, int first, const TShownArguments& shown) {
  std::string leftOver;
  for (int k = first; k < cmd.ParamsCount(); ++k) {
    const TToken next(cmd, k);
    if (!next.firstOfArgument) continue;
    if (next.origin.switchWritten || StandsAsSwitch(cmd, next.name, next.hasValue)) break;
    leftOver += (leftOver.empty() ? "" : " ") + shown.Of(next.origin.argument);
  }
  const std::string name = cmd.ParamName(owner);
  return FillPlaceholder(kBlankCut, name) + name + std::string(kGets) + cmd.ParamValue(owner) +
         std::string(kGetsEnd) + leftOver + std::string(kBlankCutRest) + shown.Of(cmd.TokenOrigin(owner).argument) +
         " " + leftOver + "\".";
}

}  // namespace

bool TSwitchReview::CutShort(std::string_view name) const {
  return std::any_of(cutShort.begin(), cutShort.end(),
                     [&](const std::string& cut) { return AsciiLowered(cut) == AsciiLowered(name); });
}

std::string CutRefusal(std::string_view name) { return FillPlaceholder(kCutHelp, name); }

std::span<const std::string_view> NamedSwitches() { return kSwitchesByName; }

TSwitchReview ReviewSwitches(const TCmdLineParser& cmd, std::span<const std::string_view> secretSwitches) {
  TSwitchReview review;
  const auto secret = [&](const std::string& name) { return Listed(cmd, secretSwitches, name); };
  const std::vector<TCmdLineParser::TCutValue>& cuts = cmd.CutValues();
  for (const TCmdLineParser::TCutValue& cut : cuts) {
    review.notes.push_back(FillPlaceholder(kCutNote, cut.name) + (secret(cut.name) ? std::string(kRedacted) : cut.dropped));
  }
  // A cut leaves what is no switch when it dropped nothing but the "-", or a piece that is none.
  std::vector<int> pieces(cuts.size(), 0);
  std::vector<bool> noSwitch(cuts.size(), false);
  const TShownArguments shown{cmd.MaskedArguments(secretSwitches, kRedacted)};
  const auto refuse = [&](std::string text) {
    if (review.refusal.empty()) review.refusal = std::move(text);
  };
  int owner = -1;  // the token whose value the next token may be the rest of
  for (int i = 0; i < cmd.ParamsCount(); ++i) {
    const TToken token(cmd, i);
    if (token.alone && !token.hasValue && Listed(cmd, kHelpSwitches, token.name)) {
      review.helpAsked = true;
      owner = -1;
      continue;
    }
    // The rest of a value: a piece that a "-" or a "/" cut out of it, or an
    // argument of its own after it, that is no switch in its own right.
    if (owner >= 0 && token.MayContinueValue() && !StandsAsSwitch(cmd, token.name, token.hasValue)) {
      const std::string ownerName = cmd.ParamName(owner);
      if (token.origin.cutValue >= 0) {
        ++pieces[static_cast<std::size_t>(token.origin.cutValue)];
        noSwitch[static_cast<std::size_t>(token.origin.cutValue)] = true;
        if (Listed(cmd, kHelpSwitches, token.name.substr(0, 1))) {
          refuse(FillPlaceholder(kCutHelp, cuts[static_cast<std::size_t>(token.origin.cutValue)].name));
        }
      } else if (secret(ownerName)) {
        refuse(FillPlaceholder(FillPlaceholder(kSecretCut, ownerName), token.firstOfArgument ? kAtBlank : kAtSlash));
      } else if (token.firstOfArgument) {
        refuse(BlankCutRefusal(cmd, owner, i, shown));
      } else {
        refuse(SlashCutRefusal(cmd, owner, shown.Of(token.origin.argument)));
      }
      continue;
    }
    if (token.origin.cutValue >= 0) ++pieces[static_cast<std::size_t>(token.origin.cutValue)];
    owner = token.hasValue ? i : -1;
    // Here a help word stands with a value or beside other switches.
    const bool helpWord = Listed(cmd, kHelpSwitches, token.name);
    if (!helpWord && IsProgramSwitch(cmd, token.name)) continue;
    const std::string written = (token.origin.switchWritten ? "/" : "") + token.name;
    const std::optional<std::string> meant = helpWord ? std::nullopt : MeantSwitch(cmd, token.name, token.origin.switchWritten);
    if (helpWord || meant == "/H" || meant == "/?") {
      refuse(shown.Of(token.origin.argument) + std::string(kNoHelp));
    } else if (meant) {
      refuse(std::string(kUnknownSwitch) + written + std::string(kDidYouMean) + *meant + std::string(kDidYouMeanEnd));
    } else {
      review.notes.push_back(FillPlaceholder(kIgnored, written));
    }
  }
  for (std::size_t c = 0; c < cuts.size(); ++c) {
    if ((pieces[c] == 0 || noSwitch[c]) && !review.CutShort(cuts[c].name)) review.cutShort.push_back(cuts[c].name);
  }
  return review;
}
