#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "JobHarness.h"
#include "platform/CodePage.h"
#include "platform/posix/CodePagePosix.h"

using platform::posix::ConvertCharacters;
using platform::posix::OemCodesetForLocale;

TEST(OemCodesetForLocale, PairsTheLanguageWithItsDosPage) {
  const struct {
    const char* locale;
    const char* codeset;
  } cases[] = {
      {"ru_RU.UTF-8", "CP866"}, {"uk_UA.KOI8-U", "CP866"}, {"bg_BG", "CP866"},     {"be_BY@latin", "CP866"},
      {"de_DE@euro", "CP850"},  {"fr_FR.UTF-8", "CP850"},  {"pt_BR", "CP850"},      {"sv", "CP850"},
      {"pl_PL.UTF-8", "CP852"}, {"cs_CZ", "CP852"},        {"hu_HU.ISO-8859-2", "CP852"},
      {"en_US.UTF-8", "CP437"}, {"ja_JP.eucJP", "CP437"},  {"C", "CP437"},          {"C.UTF-8", "CP437"},
      {"POSIX", "CP437"},       {"", "CP437"},             {"rus", "CP437"},
  };
  for (const auto& c : cases) EXPECT_STREQ(OemCodesetForLocale(c.locale), c.codeset) << c.locale;
}

TEST(ConvertCharacters, ConvertsEachCharacterAndReplacesWhatTheTargetLacks) {
  const struct {
    const char* name;
    std::string text;
    const char* from;
    const char* to;
    std::string expected;
  } cases[] = {
      {"empty stays empty", "", "UTF-8", "CP866", ""},
      {"ASCII passes", "Report 7/24", "UTF-8", "KOI8-R", "Report 7/24"},
      {"Cyrillic to OEM 866", "\xD0\x9F\xD1\x80\xD0\xB8", "UTF-8", "CP866", "\x8F\xE0\xA8"},
      {"Cyrillic to KOI8-R", "\xD0\x9F\xD1\x80\xD0\xB8", "UTF-8", "KOI8-R", "\xF0\xD2\xC9"},
      {"Windows-1251 to KOI8-R", "\xCF\xF0\xE8", "CP1251", "KOI8-R", "\xF0\xD2\xC9"},
      {"Windows-1252 to OEM 850 keeps length", "caf\xE9", "CP1252", "CP850", "caf\x82"},
      {"accent missing from KOI8-R", "caf\xC3\xA9!", "UTF-8", "KOI8-R", "caf?!"},
      {"Cyrillic missing from 437", "a\xD0\x96" "b", "UTF-8", "CP437", "a?b"},
      {"undecodable byte is one character", "a\xFF" "b", "UTF-8", "CP866", "a?b"},
      {"truncated sequence at the end", "ab\xD0", "UTF-8", "CP866", "ab?"},
      {"character outside the BMP", "x\xF0\x9F\x98\x80y", "UTF-8", "CP437", "x?y"},
      {"unknown codeset leaves text", "\xE9", "NO-SUCH-CODESET", "CP437", "\xE9"},
  };
  for (const auto& c : cases) EXPECT_EQ(ConvertCharacters(c.text, c.from, c.to), c.expected) << c.name;
}

TEST(MailCharsetName, NamesCodesetsAsMailLabelsThem) {
  const struct {
    const char* codeset;
    const char* name;
  } cases[] = {
      {"CP866", "IBM866"},         {"CP437", "IBM437"},     {"CP1251", "windows-1251"}, {"ANSI_X3.4-1968", "US-ASCII"},
      {"UTF-8", "UTF-8"},          {"KOI8-R", "KOI8-R"},    {"ISO-8859-5", "ISO-8859-5"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::posix::MailCharsetName(c.codeset), c.name) << c.codeset;
}

// The public conversions read the locale from the environment, as the
// program does; C.UTF-8 is present on every glibc system.
TEST(SubjectConversions, UseTheLocaleCodesetAsAnsi) {
  const char* saved = std::getenv("LC_ALL");
  const std::string restore = saved ? saved : "";
  ::setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(platform::ConvertAnsiToOem("caf\xC3\xA9 \xD0\x96"), "caf\x82 ?");
  EXPECT_EQ(platform::ConvertAnsiToKoi8r("\xD0\x9F\xD1\x80\xD0\xB8 caf\xC3\xA9"), "\xF0\xD2\xC9 caf?");
  EXPECT_EQ(platform::ConvertAnsiToOem(""), "");
  EXPECT_EQ(platform::OemCharsetName(), "IBM437");
  EXPECT_EQ(platform::SystemCharsetName(), "UTF-8");
  ::setenv("LC_ALL", "no_SUCH.LOCALE", 1);  // not installed: ASCII, whose high bytes are unknown
  EXPECT_EQ(platform::ConvertAnsiToKoi8r("ab\xE9"), "ab?");
  EXPECT_EQ(platform::SystemCharsetName(), "UTF-8");  // file names on such a system are UTF-8 all the same
  ::setenv("LC_ALL", "ru_RU.UTF-8", 1);  // the OEM page follows the language, installed or not
  EXPECT_EQ(platform::OemCharsetName(), "IBM866");
  if (saved) ::setenv("LC_ALL", restore.c_str(), 1); else ::unsetenv("LC_ALL");
}

TEST(Settings, SubjectConversionsFollowTheLocale) {
  const char* saved = std::getenv("LC_ALL");
  const std::string restore = saved ? saved : "";
  ::setenv("LC_ALL", "C.UTF-8", 1);
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::string subject;
  } cases[] = {
      {"SD to the OEM page", {"/SD", "/S:caf\xC3\xA9"}, "caf\x82"},
      {"SK to KOI8-R", {"/SK", "/S:\xD0\x9F\xD1\x80\xD0\xB8"}, "\xF0\xD2\xC9"},
      {"SD then SK converts the OEM result", {"/SK", "/SD", "/S:caf\xC3\xA9"}, "caf?"},
      {"an empty subject stays empty", {"/SD", "/SK"}, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"/F:s@x", "/SMTP:h"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    EXPECT_EQ(Prepare(arguments).subject, c.subject) << c.name;
  }
  if (saved) ::setenv("LC_ALL", restore.c_str(), 1); else ::unsetenv("LC_ALL");
}
