// Reading the capabilities of an EHLO reply.

#include <gtest/gtest.h>

#include "smtp/Capabilities.h"

namespace {

TEST(Capabilities, ReadFromTheWholeEhloReply) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    TSmtpCapabilities expected;
  };
  const Case cases[] = {
      {"a submission server's reply",
       {"250-mail.example.com\r\n", "250-PIPELINING\r\n", "250-SIZE 52428800\r\n", "250-STARTTLS\r\n",
        "250-AUTH PLAIN LOGIN\r\n", "250-ENHANCEDSTATUSCODES\r\n", "250-DSN\r\n", "250 8BITMIME\r\n"},
       {.StartTls = true, .Auth = true, .AuthMechanisms = {"PLAIN", "LOGIN"}, .Size = true, .SizeLimit = 52428800,
        .EightBitMime = true, .Pipelining = true, .Dsn = true}},
      {"greeting line names no extension", {"250-STARTTLS\r\n", "250 PIPELINING\r\n"}, {.Pipelining = true}},
      {"greeting alone", {"250 mail.example.com\r\n"}, {}},
      {"keywords without regard to case, both AUTH forms merged",
       {"250-x\r\n", "250-auth login cram-md5\r\n", "250-AUTH=LOGIN PLAIN\r\n", "250 starttls\r\n"},
       {.StartTls = true, .Auth = true, .AuthMechanisms = {"LOGIN", "CRAM-MD5", "PLAIN"}}},
      {"SIZE without a limit", {"250-x\r\n", "250 SIZE\r\n"}, {.Size = true}},
      {"SIZE beyond 64 bits names no limit", {"250-x\r\n", "250 SIZE 99999999999999999999\r\n"}, {.Size = true}},
      {"SIZE with a word for a limit", {"250-x\r\n", "250 SIZE lots\r\n"}, {.Size = true}},
      {"AUTH without mechanisms", {"250-x\r\n", "250 AUTH\r\n"}, {.Auth = true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TSmtpCapabilities got = TSmtpCapabilities::FromEhloReply(c.lines);
    EXPECT_EQ(got.StartTls, c.expected.StartTls);
    EXPECT_EQ(got.Auth, c.expected.Auth);
    EXPECT_EQ(got.AuthMechanisms, c.expected.AuthMechanisms);
    EXPECT_EQ(got.Size, c.expected.Size);
    EXPECT_EQ(got.SizeLimit, c.expected.SizeLimit);
    EXPECT_EQ(got.EightBitMime, c.expected.EightBitMime);
    EXPECT_EQ(got.Pipelining, c.expected.Pipelining);
    EXPECT_EQ(got.Dsn, c.expected.Dsn);
  }
}

TEST(Capabilities, AuthMechanismsMatchWithoutRegardToCase) {
  const TSmtpCapabilities capabilities = TSmtpCapabilities::FromEhloReply({"250-x\r\n", "250 AUTH Plain\r\n"});
  EXPECT_TRUE(capabilities.OffersAuth("plain"));
  EXPECT_FALSE(capabilities.OffersAuth("LOGIN"));
}

}  // namespace
