#include "cmdline/CmdLineParser.h"

#include <algorithm>

#include "cmdline/CommandLine.h"
#include "platform/Text.h"

namespace {
constexpr char kNoLead = ' ';
constexpr char kNameValueSeparator = '=';

bool IsAsciiLower(char c) { return c >= 'a' && c <= 'z'; }
}  // namespace

TCharSet CharsToSet(std::string_view s) {
  TCharSet set;
  for (char c : s) set.set(static_cast<unsigned char>(c));
  return set;
}

std::string UpcaseSwitchNames(std::string_view s, const TCharSet& switchSet, const TCharSet& delimiterSet) {
  std::string result(s);
  bool inName = false;
  for (char& c : result) {
    if (InSet(c, switchSet)) {
      inName = true;
    } else if (InSet(c, delimiterSet)) {
      inName = false;
    } else if (inName && IsAsciiLower(c)) {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return result;
}

TCmdLineParser::TCmdLineParser(TComponent* owner) : TComponent(owner) {}

void TCmdLineParser::SetParams(const TStringList* value) {
  if (!value) return;
  params_.Assign(*value);
  origins_.clear();
  cutValues_.clear();
}

bool TCmdLineParser::IsSwitchChar(char c) const { return switchChars_.find(c) != std::string::npos; }

void TCmdLineParser::DropLeadingSwitchCharsBeforeText(std::string& s, char* lastDropped) const {
  while (!Trim(s).empty() && IsSwitchChar(s.front())) {
    if (lastDropped) *lastDropped = s.front();
    s.erase(0, 1);
  }
}

std::vector<std::string> TCmdLineParser::Arguments() const {
  return argumentSource_ ? argumentSource_() : ProcessArguments();
}

void TCmdLineParser::Parse() {
  params_.Clear();
  paramValues_.Clear();
  origins_.clear();
  cutValues_.clear();
  longOptionsGiven_ = false;
  const std::vector<std::string> arguments = Arguments();
  if (longOptions_ && IsLongOptionCommandLine(arguments)) {
    AddTranslatedTokens(TranslateLongOptions(arguments));
    origins_.assign(static_cast<size_t>(params_.Count()), {true, -1, -1});  // each one an option
    longOptionsGiven_ = true;
    return;
  }
  if (longOptions_) RefuseLongOptionsAmongSwitches(arguments);
  for (size_t i = includeFileName_ ? 0 : 1; i < arguments.size(); ++i) {
    const std::vector<TokenSpan> spans = Tokens(arguments[i]);
    for (const TokenSpan& span : spans) {
      params_.Add(span.token);
      origins_.push_back({span.start > 0 && IsSwitchChar(arguments[i][span.start - 1]), -1, static_cast<int>(i)});
    }
    NoteCutValues(arguments[i], spans);
  }
  RebuildParamValues();
}

void TCmdLineParser::NoteCutValues(const std::string& argument, const std::vector<TokenSpan>& spans) {
  if (switchChars_.size() < 2) return;  // nothing but the first of them: every one starts a switch
  const char startsSwitch = switchChars_.front();
  const size_t firstToken = origins_.size() - spans.size();
  std::string name, value;
  for (size_t k = 0; k < spans.size(); ++k) {
    const size_t cutAt = spans[k].wordEnd;
    if (!SplitToken(spans[k].token, name, value) || cutAt == argument.size() || argument[cutAt] == startsSwitch) {
      continue;
    }
    // What follows the cut up to the next switch proper came out of the value.
    const size_t nextSwitch = std::min(argument.find(startsSwitch, cutAt), argument.size());
    cutValues_.push_back({name, argument.substr(cutAt + 1, nextSwitch - cutAt - 1)});
    while (k + 1 < spans.size() && spans[k + 1].start < nextSwitch) {
      origins_[firstToken + ++k].cutValue = static_cast<int>(cutValues_.size() - 1);
    }
  }
}

bool TCmdLineParser::ValueCut(const std::string& name) const {
  return std::any_of(cutValues_.begin(), cutValues_.end(),
                     [&](const TCutValue& cut) { return SameParamName(cut.name, name); });
}

TCmdLineParser::TTokenOrigin TCmdLineParser::TokenOrigin(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= origins_.size()) return {true, -1, -1};
  return origins_[static_cast<size_t>(index)];
}

std::vector<TCmdLineParser::TokenSpan> TCmdLineParser::Tokens(const std::string& argument) const {
  const TCharSet switchSet = CharsToSet(switchChars_);
  std::string text = argument;
  if (paramsInUpperCase_) text = UpcaseSwitchNames(text, switchSet, CharsToSet(paramValueDelimiter_));
  std::vector<TokenSpan> spans;
  // Without switch characters nothing marks a switch, so nothing is one.
  if (!includeSwitchChars_ && switchSet.none()) return spans;
  char lead = kNoLead;
  size_t at = 0;
  if (includeSwitchChars_) {
    std::string rest = text;
    DropLeadingSwitchCharsBeforeText(rest, &lead);
    at = text.size() - rest.size();
  }
  // A word runs from a character that starts no switch up to the next one that does.
  while (at < text.size()) {
    while (at < text.size() && InSet(text[at], switchSet)) ++at;
    const size_t start = at;
    while (at < text.size() && !InSet(text[at], switchSet)) ++at;
    if (at == start) break;
    const std::string word = text.substr(start, at - start);
    if (!includeSwitchChars_) {
      spans.push_back({word, start, at, at});
      continue;
    }
    // A blank lead trims away; a word of blanks alone would leave an empty token.
    std::string token = Trim(lead + word);
    if (token.empty()) continue;
    size_t end = at;
    while (end > start && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    spans.push_back({std::move(token), start, at, end});
  }
  return spans;
}

std::vector<std::string> TCmdLineParser::MaskedArguments(std::span<const std::string_view> names,
                                                         std::string_view mask) const {
  const std::vector<std::string> arguments = Arguments();
  std::vector<std::string> shown;
  for (size_t i = 1; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    std::string name, value;
    for (const TokenSpan& span : Tokens(argument)) {
      if (!SplitToken(span.token, name, value) || value.empty()) continue;
      const bool secret = std::any_of(names.begin(), names.end(),
                                      [&](std::string_view secretName) { return SameParamName(name, std::string(secretName)); });
      if (!secret) continue;
      // The value ends its token; what follows in the argument may belong to it too (a "-" cut it).
      argument = argument.substr(0, span.end - value.size()) + std::string(mask);
      break;
    }
    shown.push_back(std::move(argument));
  }
  return shown;
}

bool TCmdLineParser::SplitToken(const std::string& token, std::string& name, std::string& value) const {
  // An empty delimiter is contained in nothing: every token is then its own value.
  if (paramValueDelimiter_.empty() || token.find(paramValueDelimiter_) == std::string::npos) {
    name = value = token;
    return false;
  }
  value = token;
  name = CutWord(value, CharsToSet(paramValueDelimiter_));
  return true;
}

void TCmdLineParser::RebuildParamValues() {
  paramValues_.Clear();
  std::string name, value;
  for (const std::string& token : params_.Items()) {
    SplitToken(token, name, value);
    paramValues_.Add(name + kNameValueSeparator + value);
  }
}

void TCmdLineParser::AddTranslatedTokens(const std::vector<TSwitchToken>& tokens) {
  // Cut again by SplitToken, a value would lose its leading delimiters.
  for (const TSwitchToken& token : tokens) {
    if (token.Value) {
      params_.Add(token.Name + paramValueDelimiter_ + *token.Value);
      paramValues_.Add(token.Name + kNameValueSeparator + *token.Value);
    } else {
      params_.Add(token.Name);
      paramValues_.Add(token.Name + kNameValueSeparator + token.Name);
    }
  }
}

bool TCmdLineParser::ParamExistsExactly(const std::string& name) const {
  for (int i = 0; i < params_.Count(); ++i) {
    if (SameParamName(ParamName(i), name)) return true;
  }
  return false;
}

std::string TCmdLineParser::ParamName(int index) const {
  std::string name, value;
  SplitToken(params_[index], name, value);
  return name;
}

std::string TCmdLineParser::ParamValue(int index) const {
  std::string name, value;
  SplitToken(params_[index], name, value);
  return value;
}

std::string TCmdLineParser::StripSwitchChars(std::string s) const {
  size_t count = 0;
  while (count < s.size() && IsSwitchChar(s[count])) ++count;
  return s.erase(0, count);
}

bool TCmdLineParser::SameParamName(std::string a, std::string b) const {
  if (includeSwitchChars_ && !Trim(switchChars_).empty()) {
    DropLeadingSwitchCharsBeforeText(a, nullptr);
    DropLeadingSwitchCharsBeforeText(b, nullptr);
  }
  if (DifCaseNotEqual()) return a == b;
  return platform::AnsiUpperCase(a) == platform::AnsiUpperCase(b);
}

// Names need no upper-casing here: under ParamsInUpperCase SameParamName
// already compares without regard to case.
bool TCmdLineParser::TokenBeginsWith(const std::string& token, const std::string& name) const {
  return SameParamName(token.substr(0, name.size()), name);
}

bool TCmdLineParser::ParamBeginsWith(int index, const std::string& name) const {
  return TokenBeginsWith(StripSwitchChars(params_[index]), StripSwitchChars(name));
}

int TCmdLineParser::ParamIndex(const std::string& name) const {
  for (int i = 0; i < params_.Count(); ++i) {
    if (ParamBeginsWith(i, name)) return i;
  }
  return -1;
}

bool TCmdLineParser::ParamExists(const std::string& name) const { return ParamIndex(name) != -1; }

bool TCmdLineParser::ParamIsRepeated(const std::string& name) const {
  int matches = 0;
  for (int i = 0; i < params_.Count() && matches < 2; ++i) {
    if (TokenBeginsWith(params_[i], name)) ++matches;
  }
  return matches > 1;
}

std::string TCmdLineParser::StripParamName(const std::string& token, const std::string& name) const {
  std::string result = Trim(token);
  const std::string upperName = platform::AnsiUpperCase(Trim(name));
  if (!result.empty() && !upperName.empty() &&
      platform::AnsiUpperCase(result.substr(0, upperName.size())) == upperName) {
    result.erase(0, upperName.size());
  }
  return result;
}

std::vector<std::string> TCmdLineParser::GetParamValues(const std::string& name) const {
  std::vector<std::string> values;
  for (int i = 0; i < paramValues_.Count(); ++i) {
    const std::string& entry = paramValues_[i];
    const std::string entryName = entry.substr(0, entry.find(kNameValueSeparator));
    if (platform::AnsiCompareText(entryName, name) == 0) values.push_back(paramValues_.ValueFromIndex(i));
  }
  return values;
}

std::string TCmdLineParser::GetParamValue(const std::string& name) const {
  const int index = paramValues_.IndexOfName(name);
  return index == -1 ? std::string() : paramValues_.ValueFromIndex(index);
}
