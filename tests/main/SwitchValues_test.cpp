#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "main/MailException.h"
#include "main/SwitchValues.h"

struct ServerCase {
  const char* name;
  std::string value;
  std::string host;
  std::optional<std::uint16_t> port;
};

TEST(SplitServerAddress, CutsAtTheLastColon) {
  const ServerCase cases[] = {
      {"host alone", "mail.example.com", "mail.example.com", std::nullopt},
      {"submission port", "mail.example.com:587", "mail.example.com", 587},
      {"dotted address", "127.0.0.1:2525", "127.0.0.1", 2525},
      {"lowest port", "h:1", "h", 1},
      {"highest port", "h:65535", "h", 65535},
      {"leading zeros", "h:00025", "h", 25},
      {"last colon counts", "a:b:25", "a:b", 25},
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
      {"IPv6 literal", "[::1]", "SMTP server port \"1]\" is not a number from 1 to 65535."},
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
