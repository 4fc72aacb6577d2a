#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline/CommandLine.h"
#include "platform/Process.h"

namespace {

using Arguments = std::vector<std::string>;

TEST(SplitCommandLine, CutsAtBlanksAndControlCharactersOutsideQuotes) {
  const struct {
    const char* name;
    std::string line;
    Arguments arguments;
  } cases[] = {
      {"empty line", "", {}},
      {"only blanks and tabs", "  \t \r\n", {}},
      {"blanks", "prog /B:x  /T:y", {"prog", "/B:x", "/T:y"}},
      {"tabs and line ends", "prog\t/B:x\r\n/T:y\x01/NM", {"prog", "/B:x", "/T:y", "/NM"}},
      {"leading and trailing blanks", "   prog /NM   ", {"prog", "/NM"}},
      {"quoted argument with blanks", "prog \"/S:Hello world\"", {"prog", "/S:Hello world"}},
      {"quotes in the middle", "prog /S:\"Hello  world\" /NM", {"prog", "/S:Hello  world", "/NM"}},
      {"quotes glue pieces", "prog a\"b c\"d", {"prog", "ab cd"}},
      {"adjacent quoted stretches", "prog \"a\"\"b\"", {"prog", "ab"}},
      {"empty quotes make an empty argument", "prog \"\" /NM", {"prog", "", "/NM"}},
      {"empty quotes inside an argument vanish", "prog a\"\"b", {"prog", "ab"}},
      {"quoted control characters stay", "prog \"a\tb\"", {"prog", "a\tb"}},
      {"unterminated quote runs to the end", "prog \"/S:open  to the end ", {"prog", "/S:open  to the end "}},
      {"quoted program path", "\"C:\\Program Files\\mailshot.exe\" /NM", {"C:\\Program Files\\mailshot.exe", "/NM"}},
      {"backslash before a quote is ordinary", "prog /B:\"C:\\My Dir\\\" /T:x", {"prog", "/B:C:\\My Dir\\", "/T:x"}},
      {"high bytes are not separators", std::string("prog \xA0\xC0\xFF x"), {"prog", std::string("\xA0\xC0\xFF"), "x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.arguments) << c.name;
}

TEST(ArgumentsFromCommandLine, ProgramPathComesFromTheModule) {
  const std::string module = "C:\\Program Files\\mailshot\\mailshot.exe";
  const struct {
    const char* name;
    std::string line;
    Arguments arguments;
  } cases[] = {
      {"typed name replaced", "mailshot /NM /B:x", {module, "/NM", "/B:x"}},
      {"quoted path replaced", "\"C:\\Program Files\\mailshot\\mailshot\" \"/S:a b\"", {module, "/S:a b"}},
      {"empty command line", "", {module}},
      {"blank command line", "   ", {module}},
  };
  for (const auto& c : cases) EXPECT_EQ(ArgumentsFromCommandLine(c.line, module), c.arguments) << c.name;
}

TEST(ProcessArguments, ComeFromTheCommandLineOrTheSavedVector) {
  const char* const argv[] = {"./mailshot", "/S:two words", ""};
  platform::SetArgumentVector(3, argv);
  const Arguments arguments = ProcessArguments();
  ASSERT_FALSE(arguments.empty());
  if (platform::RawCommandLine()) {
    // The saved vector plays no part; the program path is the module's.
    EXPECT_EQ(arguments.front(), platform::ModuleFileName());
    EXPECT_EQ(arguments.size(), platform::ArgumentVector().size());
  } else {
    EXPECT_EQ(arguments, (Arguments{"./mailshot", "/S:two words", ""}));
  }
  EXPECT_NE(platform::ModuleFileName().find("cmdline_tests"), std::string::npos) << platform::ModuleFileName();
}

}  // namespace
