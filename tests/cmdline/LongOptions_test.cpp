#include "cmdline/LongOptions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cmdline/CmdLineParser.h"

namespace {

using Strings = std::vector<std::string>;
using Tokens = std::vector<TSwitchToken>;

Strings Program(Strings arguments) {
  arguments.insert(arguments.begin(), "/usr/bin/mailshot");
  return arguments;
}

TEST(LongOptions, TranslateIntoSwitchTokens) {
  const struct {
    const char* name;
    Strings arguments;
    Tokens tokens;
  } cases[] = {
      {"value as the next argument or after =", {"--body", "/srv/r/body.txt", "--to=../team-a.txt"},
       {{"B", "/srv/r/body.txt"}, {"T", "../team-a.txt"}}},
      {"values verbatim: colons, dashes, slashes, blanks", {"--server", "smtp-mail.example.com:587", "--subject",
                                                            "::Re: a-b/c "},
       {{"SMTP", "smtp-mail.example.com:587"}, {"S", "::Re: a-b/c "}}},
      {"the next argument is the value whatever it looks like", {"--subject", "--to", "--from", "-"},
       {{"S", "--to"}, {"F", "-"}}},
      {"an empty value after =", {"--subject="}, {{"S", ""}}},
      {"the first = cuts the name", {"--subject=a=b"}, {{"S", "a=b"}}},
      {"options without a value", {"--quiet", "--no-errors", "--receipt", "--insecure"},
       {{"NM", {}}, {"NE", {}}, {"RR", {}}, {"INSECURE", {}}}},
      {"a format value is a switch of its own", {"--format", "tsv", "--format=html"}, {{"FTS", {}}, {"FH", {}}}},
      {"an optional value only after =", {"--verbose", "--verbose=3"}, {{"V", {}}, {"V", "3"}}},
      {"an unambiguous beginning of a name", {"--rec", "--no-p", "--subject-k"},
       {{"RR", {}}, {"NOPARTIAL", {}}, {"SK", {}}}},
      {"a whole name wins over longer ones it begins", {"--log", "run.log", "--attach", "a.pdf"},
       {{"LOG", "run.log"}, {"ENCLOSE", "a.pdf"}}},
      {"each attached file its own token", {"--attach", "a.pdf", "--attach=b.pdf", "--attach-list", "l.txt"},
       {{"ENCLOSE", "a.pdf"}, {"ENCLOSE", "b.pdf"}, {"A", "l.txt"}}},
      {"-- ends the options", {"--quiet", "--"}, {{"NM", {}}}},
      {"the options of the other switches", {"--helo", "me", "--reply-to", "r@x", "--retry", "3:10", "--oauth-setup",
                                             "t.json"},
       {{"U", "me"}, {"REPLYTO", "r@x"}, {"RETRY", "3:10"}, {"OAUTHSETUP", "t.json"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TranslateLongOptions(Program(c.arguments)), c.tokens) << c.name;
  }
}

TEST(LongOptions, UnreadableCommandLinesSayWhatAndHow) {
  const struct {
    const char* name;
    Strings arguments;
    std::string problem;
  } cases[] = {
      {"unknown option", {"--to", "t.txt", "--colour"}, "Unknown option --colour"},
      {"unknown option with a value", {"--colour=red"}, "Unknown option --colour"},
      {"ambiguous beginning", {"--re", "x"}, "Ambiguous option --re"},
      {"value missing at the end", {"--from", "s@x", "--body"}, "The option --body needs a value"},
      {"value given to an option without one", {"--quiet=yes"}, "The option --quiet takes no value"},
      {"unknown format", {"--format", "PDF"},
       "The option --format takes plain, enriched, sgml, tsv or html, not \"PDF\""},
      {"a switch among options", {"--from", "s@x", "/SMTP:mail"},
       "The switch /SMTP:mail cannot follow options: write every setting as an option (--name value) or every one "
       "as a switch (/X:value)"},
      {"a hyphen switch among options", {"--from", "s@x", "-NM"},
       "The switch -NM cannot follow options: write every setting as an option (--name value) or every one as a "
       "switch (/X:value)"},
      {"a bare argument", {"--verbose", "3"}, "Unexpected argument \"3\": every value follows the option it is for"},
      {"a bare argument after --", {"--quiet", "--", "x"},
       "Unexpected argument \"x\": every value follows the option it is for"},
  };
  for (const auto& c : cases) {
    try {
      TranslateLongOptions(Program(c.arguments));
      ADD_FAILURE() << c.name << ": no error";
    } catch (const ECommandLineError& e) {
      EXPECT_EQ(e.Message(), c.problem +
                                 ". Usage: mailshot --from ADDRESS --to FILE --server HOST[:PORT] [OPTION]... "
                                 "(mailshot --help lists the options)")
          << c.name;
    }
  }
}

TEST(LongOptions, AmongSwitchesOnlyRealOptionNamesAreRefused) {
  const struct {
    const char* name;
    Strings arguments;
    bool refused;
  } cases[] = {
      {"an option after a switch", {"/F:s@x", "--subject", "Hi"}, true},
      {"an option with = after a switch", {"/F:s@x", "--server=mail"}, true},
      {"a switch written with two hyphens stays a switch", {"/F:s@x", "--NM"}, false},
      {"values of switches are no options", {"/ES", "/S:--subject"}, false},
  };
  for (const auto& c : cases) {
    bool refused = false;
    try {
      RefuseLongOptionsAmongSwitches(Program(c.arguments));
    } catch (const ECommandLineError&) {
      refused = true;
    }
    EXPECT_EQ(refused, c.refused) << c.name;
  }
}

TEST(LongOptions, SwitchesOfOptionNamesAndOptionsOfSwitches) {
  const struct {
    const char* word;
    std::optional<std::string> written;  // what SwitchForOptionName gives
  } cases[] = {
      {"SUBJECT", "/S:"},
      {"subj", "/S:"},  // the shortest of the options it begins: not --subject-oem
      {"Server", "/SMTP:"},
      {"to", "/T:"},
      {"attach", "/ENCLOSE:"},  // a whole name before the longer one it begins
      {"QUIET", "/NM"},
      {"verbose", "/V"},
      {"format", "/FP, /FE, /FS, /FTS or /FH"},
      {"sub", std::nullopt},  // too short to stand for a beginning
      {"colour", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(SwitchForOptionName(c.word), c.written) << c.word;

  const struct {
    const char* text;
    const char* inOptionTerms;
  } texts[] = {
      {"The switch /LOGIN needs a value.", "The option --login needs a value."},
      {"add /ENCRYPT:STARTTLS or /ENCRYPT:TLS, or /MECH", "add --encrypt STARTTLS or --encrypt TLS, or --mechanism"},
      {"The value of switch /WAIT, \"0\", is", "The value of option --wait, \"0\", is"},
      {"The switches /PW, /PWF and /FH (/U)", "The switches /PW, --password-file and --format html (--helo)"},
      {"The file /srv/A.txt, TLS/SSL, /SMTPS, /ES, /smtp", "The file /srv/A.txt, TLS/SSL, /SMTPS, /ES, /smtp"},
  };
  for (const auto& t : texts) EXPECT_EQ(InOptionTerms(t.text), t.inOptionTerms) << t.text;
}

TEST(LongOptions, TheParserAnswersForTranslatedTokensAsForSwitches) {
  TCmdLineParser parser(nullptr);
  const Strings arguments = Program({"--server", "mail-1.example.com", "--subject", "::a-b/c", "--attach", "x/1.pdf",
                                     "--attach", "2.pdf", "--quiet"});
  parser.SetArgumentSource([arguments] { return arguments; });
  parser.SetLongOptions(true);
  parser.Parse();
  EXPECT_TRUE(parser.LongOptionsGiven());
  EXPECT_EQ(parser.GetParamValue("S"), "::a-b/c");
  EXPECT_EQ(parser.GetParamValue("SMTP"), "mail-1.example.com");
  EXPECT_TRUE(parser.ParamExists("S"));  // a prefix test as ever: through SMTP and S alike
  EXPECT_TRUE(parser.ParamExists("NM"));
  EXPECT_FALSE(parser.ParamExistsExactly("ENCLOSED"));
  EXPECT_THAT(parser.GetParamValues("ENCLOSE"), testing::ElementsAre("x/1.pdf", "2.pdf"));

  // Where programs keep the switch syntax alone, "--subject" is the switch SUBJECT.
  parser.SetLongOptions(false);
  parser.Parse();
  EXPECT_FALSE(parser.LongOptionsGiven());
  EXPECT_TRUE(parser.ParamExistsExactly("SUBJECT"));
  EXPECT_EQ(parser.GetParamValue("S"), "");
}

}  // namespace
