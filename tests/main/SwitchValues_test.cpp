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
  } cases[] = {
      {"known switches, by beginning and by whole name",
       {"/B:b", "/SMTP:h", "/FTS", "/CC:c", "/LOG:l", "/V", "/OAUTHSETUP:t", "/NOPARTIAL", "/?"}, true, "", {}},
      {"help cut out of a value", {"/SMTP:mail-hub.example.com"}, false, cutHelp,
       {"the value of /SMTP was cut at \"-\": hub.example.com"}},
      {"help asked for besides", {"/SMTP:mail-hub.example.com", "/H"}, true, cutHelp,
       {"the value of /SMTP was cut at \"-\": hub.example.com"}},
      {"help as a stray word", {"/SMTP:h", "hello"}, true, "", {}},
      {"what a hyphen dropped", {"/S:Re-send", "/S:x-retyr"}, false, "",
       {"the value of /S was cut at \"-\": send", "the value of /S was cut at \"-\": retyr"}},
      {"a password's dropped part not shown", {"/PW:se-cret"}, false, "",
       {"the value of /PW was cut at \"-\": ***"}},
      {"two letters swapped", {"/ENCRPYT:TLS"}, false, "Unknown switch /ENCRPYT (did you mean /ENCRYPT?)", {}},
      {"a letter left out, lower case", {"/logn:me"}, false, "Unknown switch /LOGN (did you mean /LOGIN?)", {}},
      {"two edits", {"/RETRIE:3"}, false, "Unknown switch /RETRIE (did you mean /RETRY?)", {}},
      {"the nearest of two", {"/OAUTHSETUPS:t"}, false, "Unknown switch /OAUTHSETUPS (did you mean /OAUTHSETUP?)",
       {}},
      {"three edits are ignored", {"/ENCRYPTION:TLS", "/VERBOSE"}, false, "",
       {"the unknown switch /ENCRYPTION was ignored", "the unknown switch /VERBOSE was ignored"}},
      {"short names are never suggested", {"/NX", "/PX"}, false, "",
       {"the unknown switch /NX was ignored", "the unknown switch /PX was ignored"}},
      {"a stray word is no misspelt switch", {"/S:Daily", "Mail"}, false, "", {"the unknown switch Mail was ignored"}},
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
  }
}
