// The text form of the scripted server's scripts, which the program
// scripted_server reads.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/NetTestSupport.h"
#include "support/ScriptedServer.h"

namespace {

using testserver::ParseScript;
using testserver::ScriptedServer;
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
      {"starttls", "starttls", Step::Kind::kStartTls, "", {}, 0},
      {"renegotiate", "renegotiate", Step::Kind::kRenegotiate, "", {}, 0},
      {"tlsclose", "tlsclose", Step::Kind::kExpectTlsClose, "", {}, 0},
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

// The Windows tests hand their scripts to the native server in the text form.
TEST(ScriptText, WritesWhatItReads) {
  const std::vector<Step> script = {
      testserver::Send(std::string("220 a|b\\c\r\n\0\x7f\xff ", 15)),
      testserver::SendFragments({" lead", "", "x|y"}, 25),
      testserver::Wait(7),
      testserver::ExpectLine("EHLO *"),
      testserver::ReadUntil("."),
      testserver::StartTls(),
      testserver::Stall(),
  };
  const std::vector<Step> read = ParseScript(testserver::ScriptText(script));
  ASSERT_EQ(read.size(), script.size());
  for (size_t i = 0; i < script.size(); ++i) {
    EXPECT_EQ(read[i].kind, script[i].kind) << i;
    EXPECT_EQ(read[i].text, script[i].text) << i;
    EXPECT_EQ(read[i].parts, script[i].parts) << i;
    EXPECT_EQ(read[i].milliseconds, script[i].milliseconds) << i;
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

// A client's whole mail dialogue against the two ready-made SMTP scripts.
TEST(ScriptedSmtp, AnswersAWholeDialogue) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    std::vector<std::string> replies;  // greeting, then one per command
  };
  const Case cases[] = {
      {"sink",
       {testserver::SmtpSink()},
       {"220 mailshot test sink ready\r\n", "250 ok\r\n", "250 ok\r\n", "354 end data with <CR><LF>.<CR><LF>\r\n",
        "250 message accepted\r\n", "221 bye\r\n"}},
      {"dialogue",
       testserver::SmtpDialogue("220 hi", {{"HELO *", "250 hello"}, {"MAIL FROM:<a@b>", "250 sender"},
                                           {"DATA", "354 go"}, {".", "250 queued"}, {"QUIT", "221 bye"}}),
       {"220 hi\r\n", "250 hello\r\n", "250 sender\r\n", "354 go\r\n", "250 queued\r\n", "221 bye\r\n"}},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    std::vector<std::string> replies(1);
    wire.ReadLn(replies[0]);
    std::string reply;
    for (const char* command : {"HELO me", "MAIL FROM:<a@b>", "DATA"}) {
      wire.Transaction(command, reply);
      replies.push_back(reply);
    }
    wire.Write("Subject: x\r\n\r\nbody\r\n");
    wire.Transaction(".", reply);
    replies.push_back(reply);
    wire.Transaction("QUIT", reply);
    replies.push_back(reply);
    wire.Disconnect();
    server.Join();
    EXPECT_EQ(replies, c.replies) << c.name;
    EXPECT_EQ(server.Received(), "HELO me\r\nMAIL FROM:<a@b>\r\nDATA\r\nSubject: x\r\n\r\nbody\r\n.\r\nQUIT\r\n")
        << c.name;
    EXPECT_THAT(server.Failures(), testing::IsEmpty()) << c.name;
  }
}

}  // namespace
