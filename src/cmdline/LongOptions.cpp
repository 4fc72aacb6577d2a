#include "cmdline/LongOptions.h"

#include <algorithm>
#include <span>

#include "core/AsciiCase.h"

namespace {

enum class TValueKind {
  kNone,      // --name
  kRequired,  // --name value, --name=value
  kOptional,  // --name, --name=value
};

/// A value of an option whose values are switches of their own (--format).
struct TChoice {
  std::string_view value;
  std::string_view switchName;
};

constexpr TChoice kFormatChoices[] = {
    {"plain", "FP"}, {"enriched", "FE"}, {"sgml", "FS"}, {"tsv", "FTS"}, {"html", "FH"},
};

/// One long option, the switch it stands for, and its line in the help.
struct TLongOption {
  std::string_view name;        // without the leading "--"
  std::string_view switchName;  // the token's name; empty when choices name it
  TValueKind kind;
  std::string_view placeholder;  // the value in the help
  std::string_view help;
  std::span<const TChoice> choices = {};
};

constexpr TLongOption kLongOptions[] = {
    {"body", "B", TValueKind::kRequired, "FILE", "the message body; - reads it from standard input"},
    {"to", "T", TValueKind::kRequired, "FILE", "the recipients, one per line"},
    {"cc", "CC", TValueKind::kRequired, "FILE", "copy recipients, one per line, named in a CC: line"},
    {"rcpt", "RCPT", TValueKind::kRequired, "FILE", "recipients named in no header line (blind copies)"},
    {"from", "F", TValueKind::kRequired, "ADDRESS", "the sender (required)"},
    {"reply-to", "REPLYTO", TValueKind::kRequired, "ADDRESS", "the address replies go to"},
    {"subject", "S", TValueKind::kRequired, "TEXT", "the subject"},
    {"server", "SMTP", TValueKind::kRequired, "HOST[:PORT]", "the SMTP server (required); port 25 unless given"},
    {"helo", "U", TValueKind::kRequired, "NAME", "this machine's name for HELO or EHLO"},
    {"attach", "ENCLOSE", TValueKind::kRequired, "FILE", "attach the file; give it once per file"},
    {"attach-list", "A", TValueKind::kRequired, "FILE", "attach the files the list names, one per line"},
    {"charset", "CS", TValueKind::kRequired, "NAME", "the charset named in the message (Windows-1251)"},
    {"subject-oem", "SD", TValueKind::kNone, "", "convert the subject to the OEM (DOS) code page"},
    {"subject-koi8r", "SK", TValueKind::kNone, "", "convert the subject to KOI8-R"},
    {"format", "", TValueKind::kRequired, "FORMAT", "plain, enriched, sgml, tsv or html (plain)", kFormatChoices},
    {"alternative", "PLAINTEXT", TValueKind::kRequired, "FILE", "the plain text of an HTML body (else made from it)"},
    {"receipt", "RR", TValueKind::kNone, "", "ask for a read receipt"},
    {"encrypt", "ENCRYPT", TValueKind::kRequired, "tls|starttls|none", "encrypt the connection (none)"},
    {"ca-file", "CAFILE", TValueKind::kRequired, "FILE", "further trust anchors (PEM) for the certificate"},
    {"insecure", "INSECURE", TValueKind::kNone, "", "no certificate check at all (test servers only)"},
    {"login", "LOGIN", TValueKind::kRequired, "USER", "log in to the server (SMTP AUTH)"},
    {"password-file", "PWF", TValueKind::kRequired, "FILE", "the password is the file's first line"},
    {"password-credential", "PWCRED", TValueKind::kRequired, "NAME",
     "the password of a generic credential of Windows Credential Manager"},
    {"password-command", "PWCMD", TValueKind::kRequired, "COMMAND",
     "the password is the first line the command writes (run without a shell)"},
    {"mechanism", "MECH", TValueKind::kRequired, "NAME", "log in with this mechanism only"},
    {"oauth", "OAUTH", TValueKind::kRequired, "FILE", "log in with an OAuth 2.0 token kept in the file"},
    {"oauth-setup", "OAUTHSETUP", TValueKind::kRequired, "FILE", "sign in once and fill the OAuth token file"},
    {"wait", "WAIT", TValueKind::kRequired, "SECONDS", "give up any wait longer than this (1 to 3600)"},
    {"retry", "RETRY", TValueKind::kRequired, "COUNT[:SECONDS]", "try again after a transient failure"},
    {"verbose", "V", TValueKind::kOptional, "LEVEL", "status texts on standard error (1 to 8; 1)"},
    {"log", "LOG", TValueKind::kRequired, "FILE", "append a transcript of the run to the file"},
    {"no-partial", "NOPARTIAL", TValueKind::kNone, "", "send nothing when any recipient is refused"},
    {"max-recipients", "MAXRCPT", TValueKind::kRequired, "COUNT", "at most this many recipients per transaction"},
    {"dsn", "DSN", TValueKind::kRequired, "EVENTS", "delivery notices: SUCCESS,FAILURE,DELAY or NEVER"},
    {"dsn-return", "DSNRET", TValueKind::kRequired, "hdrs|full", "what a delivery notice returns of the message"},
    {"quiet", "NM", TValueKind::kNone, "", "no success text"},
    {"no-errors", "NE", TValueKind::kNone, "", "no error texts (the exit code still tells)"},
    {"help", "H", TValueKind::kNone, "", "show this help and send nothing"},
    {"version", "VERSION", TValueKind::kNone, "", "show the version and send nothing"},
};

constexpr std::string_view kOptionLead = "--";
constexpr std::string_view kUsageHint =
    ". Usage: mailshot --from ADDRESS --to FILE --server HOST[:PORT] [OPTION]... (mailshot --help lists the "
    "options)";
constexpr std::string_view kUnknownOption = "Unknown option %s";
constexpr std::string_view kAmbiguousOption = "Ambiguous option %s";
constexpr std::string_view kNeedsValue = "The option --%s needs a value";
constexpr std::string_view kTakesNoValue = "The option --%s takes no value";
constexpr std::string_view kBadChoice = "The option --%s takes ";
constexpr std::string_view kNotChoice = ", not \"%s\"";
constexpr std::string_view kSwitchAmongOptions =
    "The switch %s cannot follow options: write every setting as an option (--name value) or every one as a "
    "switch (/X:value)";
constexpr std::string_view kOptionAmongSwitches =
    "The option %s cannot follow switches: write every setting as a switch (/X:value) or every one as an option "
    "(--name value)";
constexpr std::string_view kStrayArgument = "Unexpected argument \"%s\": every value follows the option it is for";
constexpr std::string_view kHelpHead =
    "Usage: mailshot --from ADDRESS --to FILE --server HOST[:PORT] [OPTION]...\n"
    "  or:  mailshot /F:address /T:file /SMTP:host[:port] [/SWITCH]...\n"
    "Sends one mail message and ends: exit code 0 when the server took it, 5 for\n"
    "unusable settings (nothing sent), 4 for any other failure.\n"
    "\n"
    "Options (each stands for a switch; values are taken verbatim):\n";
constexpr std::string_view kHelpTail = "\nmailshot /H lists the switches; man mailshot tells more.";
constexpr size_t kHelpColumn = 32;
/// A word this long or longer may stand for the option it begins.
constexpr size_t kShortestBeginning = 4;
constexpr std::string_view kSwitchWord = "switch ";
constexpr std::string_view kSwitchesWord = "switches ";
constexpr std::string_view kOptionWord = "option ";
constexpr std::string_view kOptionsWord = "options ";

[[noreturn]] void Refuse(std::string_view problem, std::string_view detail) {
  throw ECommandLineError(FillPlaceholder(problem, detail) + std::string(kUsageHint));
}

bool IsLongOption(std::string_view argument) {
  return argument.size() > kOptionLead.size() && argument.starts_with(kOptionLead);
}

/// The name of a long option's argument: after "--", up to "=" if any.
std::string_view OptionName(std::string_view argument) {
  const std::string_view rest = argument.substr(kOptionLead.size());
  return rest.substr(0, rest.find('='));
}

/// The option that name is or begins unambiguously; raises otherwise.
const TLongOption& FindOption(std::string_view name, std::string_view argument) {
  const TLongOption* found = nullptr;
  int prefixMatches = 0;
  for (const TLongOption& option : kLongOptions) {
    if (option.name == name) return option;
    if (option.name.starts_with(name)) {
      found = &option;
      ++prefixMatches;
    }
  }
  if (prefixMatches == 0) Refuse(kUnknownOption, argument);
  if (prefixMatches > 1) Refuse(kAmbiguousOption, argument);
  return *found;
}

TSwitchToken ChoiceToken(const TLongOption& option, const std::string& value) {
  for (const TChoice& choice : option.choices) {
    if (choice.value == value) return {std::string(choice.switchName), std::nullopt};
  }
  std::string problem = FillPlaceholder(kBadChoice, option.name);
  for (size_t i = 0; i < option.choices.size(); ++i) {
    problem += (i == 0 ? "" : i + 1 == option.choices.size() ? " or " : ", ");
    problem += option.choices[i].value;
  }
  Refuse(problem + std::string(kNotChoice), value);
}

bool IsCapital(char c) { return c >= 'A' && c <= 'Z'; }
bool IsLetterOrDigit(char c) { return IsCapital(c) || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

/// The option that switch name stands for, and the value of --format that
/// names it (empty for any other option); nullptr for a switch without one.
const TLongOption* OptionOf(std::string_view name, std::string_view& choice) {
  for (const TLongOption& option : kLongOptions) {
    if (option.switchName == name && !name.empty()) return &option;
    for (const TChoice& each : option.choices) {
      if (each.switchName == name) {
        choice = each.value;
        return &option;
      }
    }
  }
  return nullptr;
}

std::string SwitchAsWritten(const TLongOption& option) {
  std::string written;
  for (size_t i = 0; i < option.choices.size(); ++i) {
    written += (i == 0 ? "/" : i + 1 == option.choices.size() ? " or /" : ", /");
    written += option.choices[i].switchName;
  }
  if (!option.choices.empty()) return written;
  written = "/";
  written += option.switchName;
  if (option.kind == TValueKind::kRequired) written += ':';
  return written;
}

/// out with the word it ends with ("switch ", "switches ") replaced by the option's.
void NameOptionWord(std::string& out) {
  for (const auto& [switchWord, optionWord] : {std::pair(kSwitchWord, kOptionWord), std::pair(kSwitchesWord, kOptionsWord)}) {
    if (out.ends_with(switchWord)) {
      out.resize(out.size() - switchWord.size());
      out += optionWord;
      return;
    }
  }
}

}  // namespace

std::optional<std::string> SwitchForOptionName(std::string_view word) {
  const std::string name = AsciiLowered(word);
  const TLongOption* shortest = nullptr;
  for (const TLongOption& option : kLongOptions) {
    if (option.name == name) return SwitchAsWritten(option);
    if (name.size() >= kShortestBeginning && option.name.starts_with(name) &&
        (shortest == nullptr || option.name.size() < shortest->name.size())) {
      shortest = &option;
    }
  }
  if (shortest == nullptr) return std::nullopt;
  return SwitchAsWritten(*shortest);
}

std::string OptionForSwitch(std::string_view name) {
  std::string_view choice;
  const TLongOption* option = OptionOf(name, choice);
  if (option == nullptr) return {};
  std::string written(kOptionLead);
  written += option->name;
  if (!choice.empty() || option->kind == TValueKind::kRequired) {
    written += ' ';
    written += choice.empty() ? option->placeholder : choice;
  }
  return written;
}

std::string InOptionTerms(std::string_view text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    const bool startsName = text[at] == '/' && (at == 0 || !IsLetterOrDigit(text[at - 1]));
    size_t end = at + 1;
    while (startsName && end < text.size() && IsCapital(text[end])) ++end;
    std::string_view choice;
    const TLongOption* option = nullptr;
    if (startsName && end > at + 1 && (end == text.size() || !IsLetterOrDigit(text[end]))) {
      option = OptionOf(text.substr(at + 1, end - at - 1), choice);
    }
    if (option == nullptr) {
      out += text[at++];
      continue;
    }
    NameOptionWord(out);
    out += kOptionLead;
    out += option->name;
    if (!choice.empty()) {
      out += ' ';
      out += choice;
    } else if (end < text.size() && text[end] == ':' && end + 1 < text.size() && IsLetterOrDigit(text[end + 1])) {
      out += ' ';  // "/ENCRYPT:TLS": the value follows as the option's argument
      ++end;
    }
    at = end;
  }
  return out;
}

bool IsLongOptionCommandLine(const std::vector<std::string>& arguments) {
  return arguments.size() > 1 && arguments[1].starts_with(kOptionLead);
}

std::vector<TSwitchToken> TranslateLongOptions(const std::vector<std::string>& arguments) {
  std::vector<TSwitchToken> tokens;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == kOptionLead) {
      // The end of the options; no option takes a bare argument after it.
      if (i + 1 < arguments.size()) Refuse(kStrayArgument, arguments[i + 1]);
      break;
    }
    if (!IsLongOption(argument)) {
      const bool looksLikeSwitch = argument.size() > 1 && (argument[0] == '/' || argument[0] == '-');
      Refuse(looksLikeSwitch ? kSwitchAmongOptions : kStrayArgument, argument);
    }
    const size_t equals = argument.find('=');
    const TLongOption& option = FindOption(OptionName(argument), argument.substr(0, equals));
    std::optional<std::string> value;
    if (equals != std::string::npos) value = argument.substr(equals + 1);
    switch (option.kind) {
      case TValueKind::kNone:
        if (value) Refuse(kTakesNoValue, option.name);
        break;
      case TValueKind::kRequired:
        if (!value) {
          if (i + 1 == arguments.size()) Refuse(kNeedsValue, option.name);
          value = arguments[++i];
        }
        break;
      case TValueKind::kOptional:
        break;
    }
    if (option.choices.empty()) {
      tokens.push_back({std::string(option.switchName), std::move(value)});
    } else {
      tokens.push_back(ChoiceToken(option, *value));
    }
  }
  return tokens;
}

void RefuseLongOptionsAmongSwitches(const std::vector<std::string>& arguments) {
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!IsLongOption(argument)) continue;
    const std::string_view name = OptionName(argument);
    for (const TLongOption& option : kLongOptions) {
      if (option.name == name) Refuse(kOptionAmongSwitches, std::string(kOptionLead) + std::string(name));
    }
  }
}

std::string LongOptionHelp() {
  std::string help(kHelpHead);
  for (const TLongOption& option : kLongOptions) {
    // Appended piece by piece: MinGW's GCC 12 warns falsely (-Wrestrict) of
    // the same text made with operator+.
    std::string line = "  --";
    line += option.name;
    if (option.kind == TValueKind::kRequired) {
      line += ' ';
      line += option.placeholder;
    }
    if (option.kind == TValueKind::kOptional) {
      line += "[=";
      line += option.placeholder;
      line += ']';
    }
    line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
    help += line;
    help += option.help;
    help += '\n';
  }
  return help + std::string(kHelpTail);
}
