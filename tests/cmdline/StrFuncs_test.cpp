#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline/CmdLineParser.h"
#include "cmdline/StrFuncs.h"

namespace {

struct CutCase {
  const char* name;
  std::string text;
  std::string set;
  std::string copyUntil;
  std::string skipChars;
  std::vector<std::string> words;  // CutWord until the text is used up
};

TEST(StrFuncs, CopySkipAndCutAtSetCharacters) {
  const CutCase cases[] = {
      {"empty text", "", "/-", "", "", {}},
      {"no set character", "NM", "/-", "NM", "NM", {"NM"}},
      {"leading separators", "//B:x", "/-", "", "B:x", {"B:x"}},
      {"separators between words", "B:a/T:b", "/-", "B:a", "B:a/T:b", {"B:a", "T:b"}},
      {"run of separators counts as one", "a/-/b--", "/-", "a", "a/-/b--", {"a", "b"}},
      {"only separators", "/-/-", "/-", "", "", {""}},
      {"empty set keeps everything", " a/b ", "", " a/b ", " a/b ", {" a/b "}},
      {"blank is ordinary unless in the set", "a b", "/", "a b", "a b", {"a b"}},
      {"high bytes as members", std::string("x\xE9y\xE9\xE9z"), std::string("\xE9"), "x", std::string("x\xE9y\xE9\xE9z"),
       {"x", "y", "z"}},
      {"delimiter cut keeps later delimiters", "B::C:\\dir", ":", "B", "B::C:\\dir", {"B", "C", "\\dir"}},
  };
  for (const CutCase& c : cases) {
    const TCharSet set = CharsToSet(c.set);
    EXPECT_EQ(CopyUntil(c.text, set), c.copyUntil) << c.name;
    EXPECT_EQ(SkipChars(c.text, set), c.skipChars) << c.name;
    std::string rest = c.text;
    std::vector<std::string> words;
    while (!rest.empty()) words.push_back(CutWord(rest, set));
    EXPECT_EQ(words, c.words) << c.name;
  }
}

TEST(StrFuncs, CutWordLeavesTheRestAfterOneSeparatorRun) {
  const TCharSet delimiters = CharsToSet(":");
  std::string token = "B::C:\\dir\\f.txt";
  EXPECT_EQ(CutWord(token, delimiters), "B");
  EXPECT_EQ(token, "C:\\dir\\f.txt");

  std::string untouched = "";
  EXPECT_EQ(CutWord(untouched, delimiters), "");
  EXPECT_EQ(untouched, "");
}

TEST(StrFuncs, TrimRemovesBlanksAndControlCharactersOnly) {
  const struct {
    const char* name;
    std::string text;
    std::string trimmed;
  } cases[] = {
      {"nothing to trim", "a b", "a b"},
      {"blanks", "  a b  ", "a b"},
      {"control characters", "\t\r\n a\x01\x1F", "a"},
      {"byte 0", std::string("\0a\0", 3), "a"},
      {"only blanks", " \t ", ""},
      {"high bytes stay", std::string("\xA0\xC0 x \xFF"), std::string("\xA0\xC0 x \xFF")},
      {"DEL stays", "\x7F", "\x7F"},
  };
  for (const auto& c : cases) EXPECT_EQ(Trim(c.text), c.trimmed) << c.name;
}

TEST(StrFuncs, CharsToSetHoldsExactlyTheCharactersOfTheString) {
  const TCharSet set = CharsToSet(std::string("/-\xFF", 3));
  EXPECT_EQ(set.count(), 3u);
  EXPECT_TRUE(InSet('/', set));
  EXPECT_TRUE(InSet('-', set));
  EXPECT_TRUE(InSet('\xFF', set));
  EXPECT_FALSE(InSet(':', set));
  EXPECT_TRUE(CharsToSet("").none());
}

}  // namespace
