#pragma once
// The command-line parser component: cuts the process arguments into switch
// tokens and answers whether a switch is present and what its value is.

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/LongOptions.h"
#include "cmdline/StrFuncs.h"
#include "core/Component.h"
#include "core/StringList.h"

/// The set of the characters of s.
TCharSet CharsToSet(std::string_view s);

/// s with the name after each switch character upper-cased (ASCII letters
/// only) up to the next delimiter; text after a delimiter keeps its case
/// until the next switch character.
std::string UpcaseSwitchNames(std::string_view s, const TCharSet& switchSet, const TCharSet& delimiterSet);

/// Turns the process arguments into switch tokens (B:body.txt, NM, ...) and
/// answers presence and value queries about them. Owned by its owner
/// component; owns its token list and its NAME=value list.
class TCmdLineParser : public TComponent {
 public:
  /// Supplies the arguments to parse, argument 0 (the program) first.
  using TArgumentSource = std::function<std::vector<std::string>()>;

  /// A switch's value that a switch character inside it cut short, as "-"
  /// cuts /S:Re-send (the first of SwitchChars, "/", always starts a switch;
  /// the others cut a value they follow directly).
  struct TCutValue {
    std::string name;     // the name of the switch whose value was cut
    std::string dropped;  // the argument's text after the cutting character, as written
  };
  /// Where a token of Params came from.
  struct TTokenOrigin {
    bool switchWritten = false;  // a switch character stood before it
    int cutValue = -1;           // the index in CutValues() of the value it was cut out of; -1: none
    int argument = -1;           // the index in Arguments() of its argument; -1: translated from long options
  };

  explicit TCmdLineParser(TComponent* owner);

  /// The tokens of the last Parse, in command-line order.
  TStringList& Params() { return params_; }
  const TStringList& Params() const { return params_; }
  /// Copies value into Params; a null list is ignored.
  void SetParams(const TStringList* value);

  /// Also parse argument 0, the program's own path (default false).
  bool IncludeFileName() const { return includeFileName_; }
  void SetIncludeFileName(bool value) { includeFileName_ = value; }

  /// Each character starts a switch and separates tokens (default "/-").
  const std::string& SwitchChars() const { return switchChars_; }
  void SetSwitchChars(std::string value) { switchChars_ = std::move(value); }

  /// Splits a token into name and value (default ":"): found whole as a
  /// substring, then cut at any of its characters.
  const std::string& ParamValueDelimiter() const { return paramValueDelimiter_; }
  void SetParamValueDelimiter(std::string value) { paramValueDelimiter_ = std::move(value); }

  /// Tokens keep the switch character that led their argument (default false).
  bool IncludeSwitchChars() const { return includeSwitchChars_; }
  void SetIncludeSwitchChars(bool value) { includeSwitchChars_ = value; }

  /// Upper-case switch names while parsing and compare names without regard
  /// to case (default true). Setting it sets DifCaseNotEqual to the opposite.
  bool ParamsInUpperCase() const { return paramsInUpperCase_; }
  void SetParamsInUpperCase(bool value) { paramsInUpperCase_ = value; }

  /// Compare names with regard to case (default false). Setting it sets
  /// ParamsInUpperCase to the opposite.
  bool DifCaseNotEqual() const { return !paramsInUpperCase_; }
  void SetDifCaseNotEqual(bool value) { paramsInUpperCase_ = !value; }

  /// Read a command line whose first argument begins with "--" as GNU-style
  /// long options, each translated into its switch's token (default false:
  /// the switch syntax alone, as on Windows).
  bool LongOptions() const { return longOptions_; }
  void SetLongOptions(bool value) { longOptions_ = value; }
  /// True when the last Parse read long options.
  bool LongOptionsGiven() const { return longOptionsGiven_; }

  /// The number of tokens in Params.
  int ParamsCount() const { return params_.Count(); }
  /// The values the last Parse cut short, in command-line order.
  const std::vector<TCutValue>& CutValues() const { return cutValues_; }
  /// True when a switch character cut the value of switch name short.
  bool ValueCut(const std::string& name) const;
  /// Where token index of Params came from (the default for tokens that no
  /// Parse made: written as switches, cut out of nothing, of no argument).
  TTokenOrigin TokenOrigin(int index) const;

  /// Where Parse takes the arguments from; an empty source (the default)
  /// means this process's own arguments.
  void SetArgumentSource(TArgumentSource source) { argumentSource_ = std::move(source); }

  /// The arguments Parse reads, argument 0 (the program) first.
  std::vector<std::string> Arguments() const;
  /// Rebuilds Params and the NAME=value list from the arguments, from nothing.
  /// With LongOptions, raises ECommandLineError for a command line of long
  /// options that cannot be read, or for a long option among switches.
  virtual void Parse();
  /// The arguments after argument 0 as they may be shown: where a token
  /// whose name is one of names (as ParamExistsExactly compares) has a
  /// value, that value and the rest of its argument read mask. The tokens
  /// are cut as Parse cuts them under the current settings, so whatever the
  /// parser takes for such a switch's value is masked, however it is written
  /// ("/PW:x", "PW:x", ":PW:x", "/:PW:x", "/S:a-pw:x").
  std::vector<std::string> MaskedArguments(std::span<const std::string_view> names, std::string_view mask) const;
  /// True when more than one token begins with name (switch characters are
  /// not stripped here, neither from name nor from the tokens).
  virtual bool ParamIsRepeated(const std::string& name) const;
  /// True when some token begins with name: a prefix test, so S is present
  /// when only SMTP:host was given.
  virtual bool ParamExists(const std::string& name) const;
  /// True when some token's name equals name under the case rule: unlike
  /// ParamExists, LOG is not present when only LOGIN:x was given.
  bool ParamExistsExactly(const std::string& name) const;
  /// The name of token index: its part before the value delimiter, the
  /// whole token without one.
  std::string ParamName(int index) const;
  /// The value of token index as GetParamValue gives it: the token itself
  /// when it has no delimiter.
  std::string ParamValue(int index) const;
  /// Whether token index begins with name (leading switch characters of
  /// both aside): the test of ParamIndex.
  bool ParamBeginsWith(int index, const std::string& name) const;
  /// The index in Params of the first token that begins with name (leading
  /// switch characters of both aside), or -1.
  virtual int ParamIndex(const std::string& name) const;
  /// token, trimmed, without name (compared upper-cased) at its front.
  virtual std::string StripParamName(const std::string& token, const std::string& name) const;

  /// The value of the first token whose name equals name without regard to
  /// case; the token itself when it has no delimiter; empty when none. name
  /// is taken as it stands (with its switch character under IncludeSwitchChars).
  std::string GetParamValue(const std::string& name) const;
  /// The values of every token whose name equals name without regard to
  /// case, in command-line order: for a switch that may be given repeatedly.
  std::vector<std::string> GetParamValues(const std::string& name) const;
  /// Whether two names are the same under the current case rule, leading
  /// switch characters aside when tokens keep them.
  bool SameParamName(std::string a, std::string b) const;
  /// s without its leading switch characters.
  std::string StripSwitchChars(std::string s) const;

 private:
  /// One token of an argument, and where its text begins and ends there.
  struct TokenSpan {
    std::string token;
    size_t start;    // the first character of the token's text
    size_t wordEnd;  // just after the token's text
    size_t end;      // just after the token's text, trailing blanks aside
  };

  bool IsSwitchChar(char c) const;
  /// Removes leading switch characters from s while s, trimmed, is not empty.
  void DropLeadingSwitchCharsBeforeText(std::string& s, char* lastDropped) const;
  /// The tokens of one argument, its switch names upper-cased as the settings say.
  std::vector<TokenSpan> Tokens(const std::string& argument) const;
  void RebuildParamValues();
  /// Notes the values among spans of argument that a switch character cut
  /// short, and the tokens cut out of each; spans' tokens are the last ones
  /// of Params.
  void NoteCutValues(const std::string& argument, const std::vector<TokenSpan>& spans);
  /// Fills both lists with tokens made elsewhere, their values kept whole.
  void AddTranslatedTokens(const std::vector<TSwitchToken>& tokens);
  /// Cuts token into its name and value; false when it has no delimiter.
  bool SplitToken(const std::string& token, std::string& name, std::string& value) const;
  /// Whether token begins with name under SameParamName.
  bool TokenBeginsWith(const std::string& token, const std::string& name) const;

  TStringList params_;
  TStringList paramValues_;
  std::vector<TTokenOrigin> origins_;  // one per token of the last Parse
  std::vector<TCutValue> cutValues_;
  bool includeFileName_ = false;
  std::string switchChars_ = "/-";
  std::string paramValueDelimiter_ = ":";
  bool includeSwitchChars_ = false;
  bool paramsInUpperCase_ = true;  // DifCaseNotEqual is always its opposite
  bool longOptions_ = false;
  bool longOptionsGiven_ = false;
  TArgumentSource argumentSource_;
};
