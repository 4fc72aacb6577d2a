// The WinSock error texts and the field splitter: pure functions.

#include <gtest/gtest.h>

#include "net/SocketTexts.h"
#include "net/Tidewire.h"

namespace {

TEST(SocketErrorMessage, TranslatesNumbers) {
  struct Case {
    const char* name;
    std::uint16_t error;
    const char* message;
  };
  const Case cases[] = {
      {"first row", 10004, "10004:Interrupted system call"},
      {"would block", 10035, "10035:Operation would block"},
      {"longest text", 10047, "10047:Address family not supported by protocol family"},
      {"reset", 10054, "10054:Connection reset by peer"},
      {"not connected", 10057, "10057:Socket is not connected"},
      {"refused", 10061, "10061:Connection refused"},
      {"unreachable host", 10065, "10065:No route to Host"},
      {"last of the 10000s", 10093, "10093:Successful WSAStartup not yet performed"},
      {"host not found", 11001, "11001:Host not found"},
      {"last numbered row", 11004, "11004:Valid name, no data record of requested type"},
      {"gap in the table", 10072, "Unknown Error No. 10072"},
      {"no row", 10101, "Unknown Error No. 10101"},
      {"below the table", 5, "Unknown Error No. 5"},
      {"zero means no error", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(SocketErrorMessage(c.error), c.message) << c.name;
}

TEST(SocketErrorMessage, TableIsAscendingWithZeroLast) {
  for (size_t i = 1; i + 1 < kSocketErrorTexts.size(); ++i)
    EXPECT_LT(kSocketErrorTexts[i - 1].number, kSocketErrorTexts[i].number) << "row " << i;
  EXPECT_EQ(kSocketErrorTexts.back().number, 0);
  for (const TSocketErrorText& row : kSocketErrorTexts) EXPECT_LE(row.text.size(), 51u) << row.number;
}

TEST(ExtractField, CutsAtDelimiter) {
  struct Case {
    const char* name;
    const char* text;
    char delimiter;
    int n;
    const char* field;
  };
  const Case cases[] = {
      {"first of three", "a:b:c", ':', 1, "a"},
      {"second of three", "a:b:c", ':', 2, "b"},
      {"third of three", "a:b:c", ':', 3, "c"},
      {"beyond the last", "a:b:c", ':', 4, ""},
      {"mailbox after <", "Name <box>", '<', 2, "box>"},
      {"mailbox before >", "box>", '>', 1, "box"},
      {"no delimiter, field 1", "box", '>', 1, "box"},
      {"no delimiter, field 2", "box", '<', 2, ""},
      {"empty text", "", ':', 1, ""},
      {"n zero", "a:b", ':', 0, ""},
      {"n negative", "a:b", ':', -1, ""},
      {"empty middle field", "a::c", ':', 2, ""},
      {"field after empty one", "a::c", ':', 3, "c"},
      {"leading delimiter", ":x", ':', 1, ""},
      {"blanks kept", "w: m", ':', 2, " m"},
  };
  for (const Case& c : cases) {
    std::string field = "stale";
    TTidewire::ExtractField(c.text, c.delimiter, c.n, field);
    EXPECT_EQ(field, c.field) << c.name;
  }
}

}  // namespace
