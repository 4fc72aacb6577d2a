// The text form of the scripted server's scripts, which the program
// scripted_server reads.

#include <gtest/gtest.h>

#include "support/ScriptedServer.h"

namespace {

using testserver::ParseScript;
using testserver::Step;

TEST(ScriptText, ParsesEachStep) {
  struct Case {
    const char* name;
    const char* line;
    Step::Kind kind;
    std::string text;
    std::vector<std::string> parts;
    int milliseconds;
  };
  const Case cases[] = {
      {"send with escapes", "send 220 a\\tb \\\\ \\x41\\r\\n", Step::Kind::kSend, "220 a\tb \\ A\r\n", {}, 0},
      {"send keeps blanks", "send  two  blanks ", Step::Kind::kSend, " two  blanks ", {}, 0},
      {"fragments", "fragments 30 220 re|ady\\r\\n|", Step::Kind::kSendFragments, "", {"220 re", "ady\r\n", ""}, 30},
      {"escaped bar", "fragments 0 a\\|b|c", Step::Kind::kSendFragments, "", {"a|b", "c"}, 0},
      {"wait", "wait 2000", Step::Kind::kWait, "", {}, 2000},
      {"expect", "expect HELO *", Step::Kind::kExpectLine, "HELO *", {}, 0},
      {"until", "until .", Step::Kind::kReadUntil, ".", {}, 0},
      {"close", "close", Step::Kind::kClose, "", {}, 0},
      {"reset", "reset", Step::Kind::kReset, "", {}, 0},
      {"stall", "stall", Step::Kind::kStall, "", {}, 0},
      {"drain", "drain", Step::Kind::kDrain, "", {}, 0},
      {"sink", "sink\r", Step::Kind::kSmtpSink, "", {}, 0},
  };
  for (const Case& c : cases) {
    const std::vector<Step> script = ParseScript(c.line);
    ASSERT_EQ(script.size(), 1u) << c.name;
    EXPECT_EQ(script[0].kind, c.kind) << c.name;
    EXPECT_EQ(script[0].text, c.text) << c.name;
    EXPECT_EQ(script[0].parts, c.parts) << c.name;
    EXPECT_EQ(script[0].milliseconds, c.milliseconds) << c.name;
  }
}

TEST(ScriptText, SkipsCommentsAndBlankLines) {
  const std::vector<Step> script = ParseScript("# greeting\n\nsend 220 hi\\r\\n\r\n#\nclose\n");
  ASSERT_EQ(script.size(), 2u);
  EXPECT_EQ(script[0].text, "220 hi\r\n");
  EXPECT_EQ(script[1].kind, Step::Kind::kClose);
}

TEST(ScriptText, RejectsBadLines) {
  const char* bad[] = {"sned x", "wait", "wait -5", "wait 10ms", "fragments 10", "close now", "send \\x4", "send \\xZZ"};
  for (const char* line : bad) EXPECT_THROW(ParseScript(std::string("send ok\n") + line), std::invalid_argument) << line;
}

}  // namespace
