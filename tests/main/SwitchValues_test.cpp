#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cmdline/CmdLineParser.h"
#include "main/MailException.h"
#include "main/RunLog.h"
#include "main/SwitchReview.h"
#include "main/SwitchValues.h"

struct ServerCase {
  const char* name;
  std::string value;
  std::string host;
  std::optional<std::uint16_t> port;
};

TEST(SplitServerAddress, CutsAtTheColon) {
  const ServerCase cases[] = {
      {"host alone", "mail.example.com", "mail.example.com", std::nullopt},
      {"submission port", "mail.example.com:587", "mail.example.com", 587},
      {"dotted address", "127.0.0.1:2525", "127.0.0.1", 2525},
      {"lowest port", "h:1", "h", 1},
      {"highest port", "h:65535", "h", 65535},
      {"leading zeros", "h:00025", "h", 25},
      {"IPv6 address alone", "[2001:db8::25]", "2001:db8::25", std::nullopt},
      {"IPv6 address with a port", "[::1]:587", "::1", 587},
      {"empty host keeps its port", ":25", "", 25},
      {"blanks stay in the host", " h :25", " h ", 25},
  };
  for (const ServerCase& c : cases) {
    const TServerAddress address = SplitServerAddress(c.value);
    EXPECT_EQ(address.Host, c.host) << c.name;
    EXPECT_EQ(address.Port, c.port) << c.name;
  }
}

TEST(SplitServerAddress, RefusesPortsOutsideOneTo65535) {
  const struct {
    const char* name;
    std::string value;
    std::string message;
  } cases[] = {
      {"zero", "h:0", "SMTP server port \"0\" is not a number from 1 to 65535."},
      {"one past the top", "h:65536", "SMTP server port \"65536\" is not a number from 1 to 65535."},
      {"far too large", "h:99999999999999999999", "SMTP server port \"99999999999999999999\" is not a number from 1 to 65535."},
      {"empty", "h:", "SMTP server port \"\" is not a number from 1 to 65535."},
      {"name", "h:smtp", "SMTP server port \"smtp\" is not a number from 1 to 65535."},
      {"sign", "h:+25", "SMTP server port \"+25\" is not a number from 1 to 65535."},
      {"negative", "h:-25", "SMTP server port \"-25\" is not a number from 1 to 65535."},
      {"trailing blank", "h:25 ", "SMTP server port \"25 \" is not a number from 1 to 65535."},
      {"IPv6 address without brackets", "2001:db8::25",
       "The SMTP server \"2001:db8::25\" has more than one colon: an IPv6 address goes in brackets, as "
       "[2001:db8::25] or [2001:db8::25]:587."},
      {"two colons", "a:b:25",
       "The SMTP server \"a:b:25\" has more than one colon: an IPv6 address goes in brackets, as [2001:db8::25] or "
       "[2001:db8::25]:587."},
      {"a name in brackets", "[mail.example.com]:25",
       "The SMTP server \"[mail.example.com]:25\" is no IPv6 address in brackets, with a colon and a port after it "
       "if wanted, as [2001:db8::25] or [2001:db8::25]:587."},
      {"bracket not closed", "[::1:25",
       "The SMTP server \"[::1:25\" is no IPv6 address in brackets, with a colon and a port after it if wanted, as "
       "[2001:db8::25] or [2001:db8::25]:587."},
      {"IPv6 port without a colon", "[::1]25",
       "The SMTP server \"[::1]25\" is no IPv6 address in brackets, with a colon and a port after it if wanted, as "
       "[2001:db8::25] or [2001:db8::25]:587."},
      {"IPv6 port out of range", "[::1]:0", "SMTP server port \"0\" is not a number from 1 to 65535."},
  };
  for (const auto& c : cases) {
    try {
      SplitServerAddress(c.value);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const EMailException& e) {
      EXPECT_EQ(e.Message(), c.message) << c.name;
    }
  }
}

TEST(RetryOf, CountAndSecondsInRange) {
  const struct {
    const char* value;
    int count;  // 0: refused
    int seconds;
  } cases[] = {
      {"1", 1, 60},      {"10", 10, 60},   {"3:1", 3, 1},     {"3:3600", 3, 3600}, {"0", 0, 0},
      {"11", 0, 0},      {"3:0", 0, 0},    {"3:3601", 0, 0},  {"3:", 0, 0},        {":60", 0, 0},
      {"RETRY", 0, 0},   {"3:60:1", 0, 0}, {"-3", 0, 0},
  };
  for (const auto& c : cases) {
    try {
      const TRetrySettings retry = RetryOf(c.value);
      EXPECT_EQ(retry.Count, c.count) << c.value;
      EXPECT_EQ(retry.Seconds, c.seconds) << c.value;
    } catch (const EMailException& e) {
      EXPECT_EQ(c.count, 0) << c.value << ": " << e.Message();
      EXPECT_EQ(e.Message(), "The value of switch /RETRY, \"" + std::string(c.value) +
                                 "\", is not a number of retries from 1 to 10, followed if wanted by a colon and the "
                                 "seconds to wait before the first, from 1 to 3600.");
    }
  }
}

TEST(RetryOf, EachWaitTwiceTheOneBeforeAtMostAnHour) {
  const TRetrySettings retry{10, 500};
  const std::uint32_t expected[] = {500, 1000, 2000, 3600, 3600, 3600, 3600, 3600, 3600, 3600};
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(retry.WaitBefore(i), expected[i - 1]) << "retry " << i;
  EXPECT_EQ((TRetrySettings{10, 3600}).WaitBefore(10), 3600u);
}

TEST(RefuseLineBreaks, RefusesEveryLineEndAndNulButNothingElse) {
  const struct {
    const char* name;
    std::string value;
    bool refused;
  } cases[] = {
      {"plain", "Weekly report", false},
      {"empty", "", false},
      {"tab and high bytes", "a\tb\xC0\xFF", false},
      {"CR", "a\rRCPT TO:<x>", true},
      {"LF", "a\nBcc: x@y", true},
      {"CR LF at the end", "a\r\n", true},
      {"NUL", std::string("a\0b", 3), true},
  };
  for (const auto& c : cases) {
    bool refused = false;
    try {
      RefuseLineBreaks("S", c.value);
    } catch (const EMailException& e) {
      refused = true;
      EXPECT_EQ(e.Message(),
                "The value of switch /S contains a line break or a null character, which cannot go into a mail "
                "command or header.")
          << c.name;
    }
    EXPECT_EQ(refused, c.refused) << c.name;
  }
}

TEST(ReviewSwitches, CutValuesAndUnknownSwitches) {
  using Strings = std::vector<std::string>;
  const std::string cutHelp = "The value of /SMTP was cut at \"-\" (write /ES first to keep it whole)";
  const struct {
    const char* name;
    Strings arguments;
    bool helpAsked;
    std::string refusal;
    Strings notes;
    Strings cutShort = {};
  } cases[] = {
      {"known switches, by beginning and by whole name",
       {"/B:b", "/SMTP:h", "/FTS", "/CC:c", "/LOG:l", "/V", "/OAUTHSETUP:t", "/NOPARTIAL", "/?"}, true, "", {}},
      {"help cut out of a value", {"/SMTP:mail-hub.example.com"}, false, cutHelp,
       {"the value of /SMTP was cut at \"-\": hub.example.com"}, {"SMTP"}},
      {"help asked for besides", {"/SMTP:mail-hub.example.com", "/H"}, true, cutHelp,
       {"the value of /SMTP was cut at \"-\": hub.example.com"}, {"SMTP"}},
      {"help only as an argument of its own", {"/B:b", "-h", "/Help"}, true, "", {}},
      {"a help word after a value", {"/SMTP:h", "hello"}, false,
       "The value of /SMTP ends at a blank: /SMTP gets \"h\" and hello is left over. Put a value with blanks in "
       "double quotes: \"/SMTP:h hello\".", {}},
      {"a help word of its own, not written as a switch", {"help"}, false,
       "help does not ask for the help: only /H, /? or /HELP as an argument of its own does.", {}},
      {"a help switch with a value", {"/H:x"}, false,
       "/H:x does not ask for the help: only /H, /? or /HELP as an argument of its own does.", {}},
      {"a help switch beside another", {"/NM-h"}, false,
       "/NM-h does not ask for the help: only /H, /? or /HELP as an argument of its own does.", {}},
      {"what a hyphen dropped", {"/S:Re-send", "/S:x-retyr", "/U:pc-"}, false, "",
       {"the value of /S was cut at \"-\": send", "the value of /S was cut at \"-\": retyr",
        "the value of /U was cut at \"-\": "},
       {"S", "U"}},
      {"a hyphen before a whole switch cuts nothing short", {"/S:Hi-NM", "/F:s@x-T:t"}, false, "",
       {"the value of /S was cut at \"-\": NM", "the value of /F was cut at \"-\": T:t"}},
      {"a password's dropped part not shown", {"/PW:se-cret"}, false, "",
       {"the value of /PW was cut at \"-\": ***"}, {"PW"}},
      {"a subject cut at \"/\", whatever the letter", {"/S:and/or/NM"}, false,
       "The value of /S was cut at \"/\": in /S:and/or/NM every \"/\" starts a switch, so /S gets \"and\" and "
       "the rest is read as switches. A switch's value cannot hold \"/\": name a file relative to the working "
       "directory, or with \"\\\".", {}},  // the hint where no long options are taken
      {"switches sharing an argument are no cut", {"/B:b/T:t/FH", "/S:x/U:me"}, false, "", {}},
      {"a password cut at \"/\" is not shown", {"/PW:ab/cd"}, false,
       "The value of /PW was cut at \"/\": put the password in a file and name it with /PWF.", {}},
      {"nor one cut at a blank", {"/PW:ab", "cd"}, false,
       "The value of /PW was cut at a blank: put the password in a file and name it with /PWF.", {}},
      {"a subject without quotes", {"/S:Nightly", "health", "check", "/NM", "more"}, false,
       "The value of /S ends at a blank: /S gets \"Nightly\" and health check is left over. Put a value with "
       "blanks in double quotes: \"/S:Nightly health check\".", {"the unknown switch more was ignored"}},
      {"a switch without its character after a value", {"/S:Hi", "b:body.txt", "NM"}, false, "", {}},
      {"two letters swapped", {"/ENCRPYT:TLS"}, false, "Unknown switch /ENCRPYT (did you mean /ENCRYPT?)", {}},
      {"a letter left out, lower case", {"/logn:me"}, false, "Unknown switch /LOGN (did you mean /LOGIN?)", {}},
      {"two edits", {"/RETRIE:3"}, false, "Unknown switch /RETRIE (did you mean /RETRY?)", {}},
      {"the nearest of two", {"/OAUTHSETUPS:t"}, false, "Unknown switch /OAUTHSETUPS (did you mean /OAUTHSETUP?)",
       {}},
      {"three edits are ignored", {"/ENCRYPTION:TLS", "/VERBOSE"}, false, "",
       {"the unknown switch /ENCRYPTION was ignored", "the unknown switch /VERBOSE was ignored"}},
      {"short names are never suggested", {"/NX", "/PX"}, false, "",
       {"the unknown switch /NX was ignored", "the unknown switch /PX was ignored"}},
      {"a stray word is no misspelt switch", {"/NM", "retyr"}, false, "", {"the unknown switch retyr was ignored"}},
      {"a long option's name that S would take", {"/SUBJECT:x"}, false, "Unknown switch /SUBJECT (did you mean /S:?)",
       {}},
      {"its beginning", {"/subj:x"}, false, "Unknown switch /SUBJ (did you mean /S:?)", {}},
      {"the option of another switch", {"/SERVER:h"}, false, "Unknown switch /SERVER (did you mean /SMTP:?)", {}},
      {"two letters", {"/TO:t"}, false, "Unknown switch /TO (did you mean /T:?)", {}},
      {"the option of F", {"/FROM:s@x"}, false, "Unknown switch /FROM (did you mean /F:?)", {}},
      {"the option of B", {"/BODY:b"}, false, "Unknown switch /BODY (did you mean /B:?)", {}},
      {"a user name", {"/USER:me"}, false,
       "Unknown switch /USER (did you mean /LOGIN: to log in, or /U: to name this machine?)", {}},
      {"a file to attach", {"/ATTACH:a"}, false,
       "Unknown switch /ATTACH (did you mean /ENCLOSE: for a file, or /A: for a list of files?)", {}},
      {"a misspelling that S would take", {"/SMPT:h"}, false, "Unknown switch /SMPT (did you mean /SMTP?)", {}},
      {"the longest switch a name begins with", {"/FHX", "/BODYFILE:b"}, false, "Unknown switch /FHX (did you mean /FH?)",
       {}},
      {"the first of several in command-line order", {"/SUBJECT:x", "/H:x"}, false,
       "Unknown switch /SUBJECT (did you mean /S:?)", {}},
  };
  for (const auto& c : cases) {
    TCmdLineParser parser(nullptr);
    Strings arguments = c.arguments;
    arguments.insert(arguments.begin(), "mailshot");
    parser.SetArgumentSource([arguments] { return arguments; });
    parser.Parse();
    const TSwitchReview review = ReviewSwitches(parser, kSecretSwitches);
    EXPECT_EQ(review.helpAsked, c.helpAsked) << c.name;
    EXPECT_EQ(review.refusal, c.refusal) << c.name;
    EXPECT_EQ(review.notes, c.notes) << c.name;
    EXPECT_EQ(review.cutShort, c.cutShort) << c.name;
  }
}
