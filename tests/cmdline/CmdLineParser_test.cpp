#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cmdline/CmdLineParser.h"
#include "cmdline/CommandLine.h"
#include "platform/Process.h"

namespace {

using Strings = std::vector<std::string>;
using NameValues = std::vector<std::pair<std::string, std::string>>;

/// Feeds parser the given arguments after a program path as argument 0.
void GiveArguments(TCmdLineParser& parser, Strings arguments) {
  arguments.insert(arguments.begin(), "C:\\mail\\mailshot.exe");
  parser.SetArgumentSource([arguments] { return arguments; });
}

struct ParseCase {
  const char* name;
  Strings arguments;
  Strings tokens;
  NameValues values;  // GetParamValue(first) == second
  std::string switchChars = "/-";
  bool includeSwitchChars = false;
  std::string delimiter = ":";
};

TEST(CmdLineParser, ParseCutsArgumentsIntoTokensAndValues) {
  const ParseCase cases[] = {
      {"name upper-cased, value keeps its case", {"/b:Body.txt"}, {"B:Body.txt"}, {{"B", "Body.txt"}, {"b", "Body.txt"}}},
      {"two switches in one argument", {"/B:a.txt/T:b.txt"}, {"B:a.txt", "T:b.txt"}, {{"B", "a.txt"}, {"T", "b.txt"}}},
      {"hyphen starts a switch", {"-B:a.txt"}, {"B:a.txt"}, {{"B", "a.txt"}}},
      {"hyphen in a value cuts it", {"/S:x-y"}, {"S:x", "Y"}, {{"S", "x"}, {"Y", "Y"}}},
      {"/S:Re-send without ES", {"/S:Re-send"}, {"S:Re", "SEND"}, {{"S", "Re"}, {"SEND", "SEND"}}},
      {"/S:Re-send with ES", {"/S:Re-send"}, {"S:Re-send"}, {{"S", "Re-send"}}, "/"},
      {"hyphen switch not recognised with ES", {"-nm"}, {"-nm"}, {{"NM", ""}, {"-nm", "-nm"}}, "/"},
      {"switch without value is its own value", {"/NM"}, {"NM"}, {{"NM", "NM"}}},
      {"/B alone names the file B", {"/B"}, {"B"}, {{"B", "B"}}},
      {"no switch character still a token", {"b:x"}, {"b:x"}, {{"B", "x"}}},
      {"further leading delimiters dropped", {"/B::C:\\dir\\f.txt"}, {"B::C:\\dir\\f.txt"}, {{"B", "C:\\dir\\f.txt"}}},
      {"value not trimmed", {"/S: Hi there "}, {"S: Hi there "}, {{"S", " Hi there "}}},
      {"high bytes kept", {std::string("/s:\xC0\xE9")}, {std::string("S:\xC0\xE9")}, {{"S", std::string("\xC0\xE9")}}},
      {"only switch characters give nothing", {"/", "-", "//--/"}, {}, {{"B", ""}}},
      {"empty arguments give nothing", {"", ""}, {}, {}},
      {"command-line order kept", {"/T:list.txt", "/b:body.txt"}, {"T:list.txt", "B:body.txt"}, {{"T", "list.txt"}}},
      {"first of a repeated switch counts", {"/S:Hello", "/S:World"}, {"S:Hello", "S:World"}, {{"S", "Hello"}}},
      {"longer name gives S no value", {"/SMTP:mail.example.com"}, {"SMTP:mail.example.com"},
       {{"S", ""}, {"SMTP", "mail.example.com"}}},
      {"no switch characters: no token", {"/B:x", "y"}, {}, {{"B", ""}}, ""},
      {"empty delimiter: every token its own value", {"/b:x"}, {"B:X"}, {{"B", ""}, {"B:X", "B:X"}}, "/-", false, ""},
      {"delimiter found whole", {"/B=:x", "/T:y"}, {"B=:x", "T:y"}, {{"B", "x"}, {"T", ""}, {"T:y", "T:y"}}, "/-", false,
       "=:"},
      {"kept switch characters", {"-b:x/t:y"}, {"-B:x", "-T:y"}, {{"-B", "x"}, {"-T", "y"}, {"B", ""}}, "/-", true},
      {"kept: last of a leading run leads", {"/-b:x"}, {"-B:x"}, {{"-B", "x"}}, "/-", true},
      {"kept: no lead without a switch character", {"b:x"}, {"b:x"}, {{"b", "x"}}, "/-", true},
      {"kept: leading blank stops the run", {" /b"}, {"B"}, {{"B", "B"}}, "/-", true},
      {"kept: lone switch characters give nothing", {"/", "-/"}, {}, {}, "/-", true},
      {"kept: no switch characters, argument trimmed", {" /b:x ", "y", "   "}, {"/b:x", "y"}, {{"/b", "x"}}, "", true},
  };
  for (const ParseCase& c : cases) {
    TCmdLineParser parser(nullptr);
    parser.SetSwitchChars(c.switchChars);
    parser.SetIncludeSwitchChars(c.includeSwitchChars);
    parser.SetParamValueDelimiter(c.delimiter);
    GiveArguments(parser, c.arguments);
    parser.Parse();
    EXPECT_EQ(parser.Params().Items(), c.tokens) << c.name;
    EXPECT_EQ(parser.ParamsCount(), static_cast<int>(c.tokens.size())) << c.name;
    for (const auto& [name, value] : c.values) EXPECT_EQ(parser.GetParamValue(name), value) << c.name << ": " << name;
  }
}

TEST(CmdLineParser, NotesTheValuesAHyphenCut) {
  using Cuts = std::vector<std::pair<std::string, std::string>>;  // the switch, what was dropped
  const struct {
    const char* name;
    Strings arguments;
    Cuts cuts;
    std::vector<int> cutOut;  // per token: the index of the cut it came out of, -1 for none
    std::string switchChars = "/-";
  } cases[] = {
      {"a hyphen in a value", {"/SMTP:mail-hub.example.com"}, {{"SMTP", "hub.example.com"}}, {-1, 0}},
      {"the cut runs to the next slash", {"/S:a-b-c:d/T:x"}, {{"S", "b-c:d"}}, {-1, 0, 0, -1}},
      {"the dropped text as written", {"/s:Re-Send"}, {{"S", "Send"}}, {-1, 0}},
      {"a hyphen that ends the value drops it alone", {"/S:Re-/T:x", "/CS:x-"}, {{"S", ""}, {"CS", ""}}, {-1, -1, -1}},
      {"an empty value", {"/S:-x"}, {{"S", "x"}}, {-1, 0}},
      {"one cut per value", {"/S:a-b", "/F:c-d"}, {{"S", "b"}, {"F", "d"}}, {-1, 0, -1, 1}},
      {"switches without a value are not cut", {"/NM-NE", "-B:x"}, {}, {-1, -1, -1}},
      {"a slash starts a switch", {"/B:x/T:y"}, {}, {-1, -1}},
      {"nothing cuts with a slash alone", {"/S:Re-send"}, {}, {-1}, "/"},
  };
  for (const auto& c : cases) {
    TCmdLineParser parser(nullptr);
    parser.SetSwitchChars(c.switchChars);
    GiveArguments(parser, c.arguments);
    parser.Parse();
    Cuts cuts;
    for (const TCmdLineParser::TCutValue& cut : parser.CutValues()) cuts.emplace_back(cut.name, cut.dropped);
    EXPECT_EQ(cuts, c.cuts) << c.name;
    std::vector<int> cutOut;
    for (int i = 0; i < parser.ParamsCount(); ++i) cutOut.push_back(parser.TokenOrigin(i).cutValue);
    EXPECT_EQ(cutOut, c.cutOut) << c.name;
  }
}

struct LookupCase {
  const char* name;
  Strings arguments;
  std::string query;
  int index;
  bool repeated;
};

TEST(CmdLineParser, LookupsArePrefixTestsOnNames) {
  const LookupCase cases[] = {
      {"S present through SMTP", {"/SMTP:mail"}, "S", 0, false},
      {"S present through SD", {"/F:a@b", "/SD"}, "S", 1, false},
      {"S present through SK", {"/SK"}, "S", 0, false},
      {"F present through FH", {"/FH"}, "F", 0, false},
      {"FS not present through FTS", {"/FTS"}, "FS", -1, false},
      {"H present through a stray token", {"/S:Re-hello"}, "H", 1, false},
      {"first of several", {"/S:x", "/SMTP:h"}, "SMTP", 1, false},
      {"prefix repeats", {"/S:x", "/SMTP:h"}, "S", 0, true},
      {"lower-case query", {"/nm"}, "nm", 0, false},
      {"switch characters of the query stripped", {"/NM"}, "-/NM", 0, false},
      {"repeat count keeps switch characters", {"/S:a", "/S:b"}, "/S", 0, false},
      {"repeated switch", {"/S:a", "/S:b"}, "s", 0, true},
      {"token without switch character", {"B:x"}, "B", 0, false},
      {"absent", {"/NM", "/NE"}, "RR", -1, false},
      {"no arguments", {}, "B", -1, false},
  };
  for (const LookupCase& c : cases) {
    TCmdLineParser parser(nullptr);
    GiveArguments(parser, c.arguments);
    parser.Parse();
    EXPECT_EQ(parser.ParamIndex(c.query), c.index) << c.name;
    EXPECT_EQ(parser.ParamExists(c.query), c.index != -1) << c.name;
    EXPECT_EQ(parser.ParamIsRepeated(c.query), c.repeated) << c.name;
  }
}

TEST(CmdLineParser, ExactPresenceComparesWholeNames) {
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    const char* query;
    bool present;
  } cases[] = {
      {"longer name only", {"/LOGIN:u"}, "LOG", false},
      {"the name with a value", {"/LOGIN:u", "/LOG:run.log"}, "LOG", true},
      {"without regard to case", {"/log:run.log"}, "LOG", true},
      {"without a value", {"/V"}, "V", true},
      {"a value holding the delimiter", {"/LOG:C:run.log"}, "LOG", true},
      {"no delimiter: the whole token is the name", {"/WAIT=5"}, "WAIT", false},
  };
  for (const auto& c : cases) {
    TCmdLineParser parser(nullptr);
    GiveArguments(parser, c.arguments);
    parser.Parse();
    EXPECT_EQ(parser.ParamExistsExactly(c.query), c.present) << c.name;
  }
}

TEST(CmdLineParser, KeptSwitchCharactersAreIgnoredByPresenceButNotByValue) {
  TCmdLineParser parser(nullptr);
  parser.SetIncludeSwitchChars(true);
  GiveArguments(parser, {"-B:x/T:y"});
  parser.Parse();
  EXPECT_EQ(parser.ParamIndex("B"), 0);
  EXPECT_EQ(parser.ParamIndex("/T"), 1);
  EXPECT_EQ(parser.GetParamValue("B"), "");
  EXPECT_EQ(parser.GetParamValue("-T"), "y");
  EXPECT_FALSE(parser.ParamIsRepeated("B"));
}

TEST(CmdLineParser, KeptLetterSwitchCharacterDoesNotHideTheName) {
  TCmdLineParser parser(nullptr);
  parser.SetSwitchChars("x");
  parser.SetIncludeSwitchChars(true);
  GiveArguments(parser, {"xb:1"});
  parser.Parse();
  ASSERT_EQ(parser.Params().Items(), Strings{"xB:1"});
  EXPECT_EQ(parser.ParamIndex("B"), 0);
  EXPECT_EQ(parser.ParamIndex("xb"), 0);
  EXPECT_EQ(parser.GetParamValue("xB"), "1");
}

TEST(CmdLineParser, CaseSensitiveNamesWhenDifCaseNotEqual) {
  TCmdLineParser parser(nullptr);
  parser.SetDifCaseNotEqual(true);
  GiveArguments(parser, {"/b:x", "/B:y"});
  parser.Parse();
  EXPECT_EQ(parser.Params().Items(), (Strings{"b:x", "B:y"}));
  EXPECT_EQ(parser.ParamIndex("B"), 1);
  EXPECT_EQ(parser.ParamIndex("b"), 0);
  EXPECT_FALSE(parser.ParamIsRepeated("B"));
  // The value lookup is the list's own, which ignores case regardless.
  EXPECT_EQ(parser.GetParamValue("B"), "x");
}

TEST(CmdLineParser, SameParamNameFollowsCaseAndKeptSwitchCharacters) {
  const struct {
    const char* name;
    bool includeSwitchChars;
    std::string switchChars;
    bool difCaseNotEqual;
    std::string a, b;
    bool same;
  } cases[] = {
      {"case ignored", false, "/-", false, "nm", "NM", true},
      {"case counts", true, "/-", true, "nm", "NM", false},
      {"switch characters count when not kept", false, "/-", false, "/NM", "NM", false},
      {"switch characters ignored when kept", true, "/-", false, "/NM", "-nm", true},
      {"lone switch character is empty", true, "/-", false, "/", "", true},
      {"blank switch set strips nothing", true, " ", false, " NM", "NM", false},
      {"strip stops at a blank", true, "/-", false, "/ NM", "NM", false},
      {"different names", false, "/-", false, "SD", "SK", false},
  };
  for (const auto& c : cases) {
    TCmdLineParser parser(nullptr);
    parser.SetIncludeSwitchChars(c.includeSwitchChars);
    parser.SetSwitchChars(c.switchChars);
    parser.SetDifCaseNotEqual(c.difCaseNotEqual);
    EXPECT_EQ(parser.SameParamName(c.a, c.b), c.same) << c.name;
  }
}

TEST(CmdLineParser, StripHelpers) {
  const struct {
    const char* name;
    std::string token, paramName, stripped;
  } cases[] = {
      {"name and blanks removed", " B:x \t", "b", ":x"},
      {"prefix removed", "SMTP:h", " s ", "MTP:h"},
      {"empty name", " B:x ", "", "B:x"},
      {"blank token", "   ", "B", ""},
      {"name longer than the token", "NM", "nmx", "NM"},
      {"other name", "FH", "FS", "FH"},
      {"whole token", "\tFH\r", "fh", ""},
  };
  TCmdLineParser parser(nullptr);
  for (const auto& c : cases) EXPECT_EQ(parser.StripParamName(c.token, c.paramName), c.stripped) << c.name;

  EXPECT_EQ(parser.StripSwitchChars("/-/B:x/y"), "B:x/y");
  EXPECT_EQ(parser.StripSwitchChars("//"), "");
  EXPECT_EQ(parser.StripSwitchChars(" /B"), " /B");
  parser.SetSwitchChars("");
  EXPECT_EQ(parser.StripSwitchChars("/B"), "/B");
}

TEST(CmdLineParser, ParseOnlyWhenAskedAndAlwaysFromNothing) {
  TCmdLineParser parser(nullptr);
  GiveArguments(parser, {"/S:Re-send", "/ES"});
  EXPECT_EQ(parser.ParamsCount(), 0);
  EXPECT_FALSE(parser.ParamExists("ES"));

  parser.Parse();
  EXPECT_EQ(parser.Params().Items(), (Strings{"S:Re", "SEND", "ES"}));
  parser.SetSwitchChars("/");
  EXPECT_EQ(parser.ParamsCount(), 3) << "a property change does not re-parse";
  EXPECT_EQ(parser.GetParamValue("S"), "Re");

  parser.Parse();
  EXPECT_EQ(parser.Params().Items(), (Strings{"S:Re-send", "ES"}));
  EXPECT_EQ(parser.GetParamValue("S"), "Re-send");
  EXPECT_EQ(parser.GetParamValue("SEND"), "") << "values rebuilt with the tokens";
}

TEST(CmdLineParser, IncludeFileNameParsesArgumentZero) {
  TCmdLineParser parser(nullptr);
  GiveArguments(parser, {"/NM"});
  parser.SetIncludeFileName(true);
  parser.Parse();
  EXPECT_EQ(parser.Params().Items(), (Strings{"C:\\mail\\mailshot.exe", "NM"}));
  EXPECT_EQ(parser.GetParamValue("C"), "\\mail\\mailshot.exe");
  parser.SetIncludeFileName(false);
  parser.Parse();
  EXPECT_EQ(parser.Params().Items(), Strings{"NM"});
}

TEST(CmdLineParser, ParamsCopiedOnWriteIntoTheOwnedList) {
  TCmdLineParser parser(nullptr);
  const TStringList* owned = &parser.Params();
  TStringList given;
  given.Add("B:x");
  parser.SetParams(&given);
  given.Add("T:y");
  parser.SetParams(nullptr);
  EXPECT_EQ(&parser.Params(), owned);
  EXPECT_EQ(parser.Params().Items(), Strings{"B:x"});
  EXPECT_EQ(parser.ParamIndex("B"), 0);
}

TEST(CmdLineParser, UpperCaseAndCaseSensitivityStayOpposite) {
  TCmdLineParser parser(nullptr);
  EXPECT_TRUE(parser.ParamsInUpperCase());
  EXPECT_FALSE(parser.DifCaseNotEqual());
  parser.SetParamsInUpperCase(false);
  EXPECT_TRUE(parser.DifCaseNotEqual());
  parser.SetDifCaseNotEqual(false);
  EXPECT_TRUE(parser.ParamsInUpperCase());
  parser.SetDifCaseNotEqual(true);
  EXPECT_FALSE(parser.ParamsInUpperCase());
}

TEST(CmdLineParser, UpcaseSwitchNamesTouchesNamesOnly) {
  const struct {
    const char* name;
    std::string text, switches, delimiters, upcased;
  } cases[] = {
      {"name only", "/b:Body.txt", "/-", ":", "/B:Body.txt"},
      {"every switch character starts a name", "/s:x-y/fh", "/-", ":", "/S:x-Y/FH"},
      {"before any switch character", "b:x/t", "/-", ":", "b:x/T"},
      {"ASCII letters only", std::string("/\xE4sd"), "/-", ":", std::string("/\xE4SD")},
      {"any delimiter character ends a name", "/b=c:d/e", "/", ":=", "/B=c:d/E"},
      {"no delimiters: to the end", "/b:x", "/", "", "/B:X"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UpcaseSwitchNames(c.text, CharsToSet(c.switches), CharsToSet(c.delimiters)), c.upcased) << c.name;
  }
}

TEST(CmdLineParser, CommandLineToSwitchValues) {
  TCmdLineParser parser(nullptr);
  const Strings arguments = ArgumentsFromCommandLine(
      "mailshot /B:\"C:\\My Dir\\body.txt\" /t:list.txt /F:me@example.com \"/S:Hello world\" /SMTP:mail /nm",
      "C:\\Program Files\\mailshot.exe");
  parser.SetArgumentSource([arguments] { return arguments; });
  parser.Parse();
  EXPECT_EQ(parser.Params().Items(), (Strings{"B:C:\\My Dir\\body.txt", "T:list.txt", "F:me@example.com",
                                              "S:Hello world", "SMTP:mail", "NM"}));
  EXPECT_EQ(parser.GetParamValue("B"), "C:\\My Dir\\body.txt");
  EXPECT_EQ(parser.GetParamValue("S"), "Hello world");
}

TEST(CmdLineParser, DefaultsToTheProcessArgumentVector) {
  if (platform::RawCommandLine()) GTEST_SKIP() << "arguments come from this process's real command line here";
  const char* const argv[] = {"mailshot", "/b:Body.txt", "/NM"};
  platform::SetArgumentVector(3, argv);
  TCmdLineParser parser(nullptr);
  parser.Parse();
  EXPECT_EQ(parser.Params().Items(), (Strings{"B:Body.txt", "NM"}));
}

}  // namespace
