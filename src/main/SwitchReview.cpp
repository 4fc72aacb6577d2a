#include "main/SwitchReview.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/Exceptions.h"
#include "core/Secrets.h"

namespace {

/// The original switches, each found by its beginning (so /SMTP, /SD and
/// /SK count as /S, /FH as /F).
constexpr std::string_view kSwitchesByBeginning[] = {"H", "?", "B", "T", "F", "S", "U", "A", "CS", "RR", "ES", "NM", "NE"};
/// The later switches, each found by its whole name only.
constexpr std::string_view kSwitchesByName[] = {
    "CC",    "RCPT", "REPLYTO", "ENCLOSE", "ENCRYPT", "CAFILE", "INSECURE",  "LOGIN",   "PW",  "PWF",
    "PWCRED", "PWCMD", "MECH",  "OAUTH", "OAUTHSETUP", "WAIT", "RETRY", "V",      "LOG",      "NOPARTIAL", "VERSION",
    "PLAINTEXT", "MAXRCPT", "DSN", "DSNRET",
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
constexpr std::string_view kUnknownSwitch = "Unknown switch /";
constexpr std::string_view kDidYouMean = " (did you mean /";
constexpr std::string_view kDidYouMeanEnd = "?)";
constexpr std::string_view kIgnored = "the unknown switch %s was ignored";

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

/// Whether a lookup of the job takes token index, whose name is tokenName.
bool Taken(const TCmdLineParser& cmd, int index, const std::string& tokenName) {
  return std::any_of(std::begin(kSwitchesByBeginning), std::end(kSwitchesByBeginning),
                     [&](std::string_view name) { return cmd.ParamBeginsWith(index, std::string(name)); }) ||
         std::any_of(std::begin(kSwitchesByName), std::end(kSwitchesByName),
                     [&](std::string_view name) { return cmd.SameParamName(tokenName, std::string(name)); });
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
std::optional<std::string_view> MeantSwitch(std::string_view name) {
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

bool BeginsHelp(const TCmdLineParser& cmd, int index) {
  return cmd.ParamBeginsWith(index, "H") || cmd.ParamBeginsWith(index, "?");
}

}  // namespace

std::span<const std::string_view> NamedSwitches() { return kSwitchesByName; }

TSwitchReview ReviewSwitches(const TCmdLineParser& cmd, std::span<const std::string_view> secretSwitches) {
  TSwitchReview review;
  const std::vector<TCmdLineParser::TCutValue>& cuts = cmd.CutValues();
  for (const TCmdLineParser::TCutValue& cut : cuts) {
    const bool secret = std::any_of(secretSwitches.begin(), secretSwitches.end(),
                                    [&](std::string_view name) { return cmd.SameParamName(cut.name, std::string(name)); });
    review.notes.push_back(FillPlaceholder(kCutNote, cut.name) + (secret ? std::string(kRedacted) : cut.dropped));
  }
  std::string cutHelp, misspelt;
  for (int i = 0; i < cmd.ParamsCount(); ++i) {
    const TCmdLineParser::TTokenOrigin origin = cmd.TokenOrigin(i);
    if (BeginsHelp(cmd, i)) {
      if (origin.cutValue < 0) review.helpAsked = true;
      if (origin.cutValue >= 0 && cutHelp.empty()) {
        cutHelp = FillPlaceholder(kCutHelp, cuts[static_cast<std::size_t>(origin.cutValue)].name);
      }
    }
    // A word cut out of a value was never meant as a switch; the cut's note tells of it.
    if (origin.cutValue >= 0) continue;
    const std::string name = cmd.ParamName(i);
    if (Taken(cmd, i, name)) continue;
    // Only what was written as a switch can be a misspelt one: a stray word
    // (of a subject without quotes, say) is no switch at all.
    const std::optional<std::string_view> meant = origin.switchWritten ? MeantSwitch(name) : std::nullopt;
    if (meant && misspelt.empty()) {
      misspelt = std::string(kUnknownSwitch) + name + std::string(kDidYouMean) + std::string(*meant) +
                 std::string(kDidYouMeanEnd);
    }
    if (!meant) review.notes.push_back(FillPlaceholder(kIgnored, (origin.switchWritten ? "/" : "") + name));
  }
  review.refusal = !cutHelp.empty() ? cutHelp : misspelt;
  return review;
}
