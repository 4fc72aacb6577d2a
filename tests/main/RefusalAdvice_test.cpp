#include "main/RefusalAdvice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// Replies as the providers send them (a multi-line reply's refusal carries
// its last line), each with a piece of the one advice it must get.
TEST(RefusalAdvice, WellKnownRefusalsRowByRow) {
  const struct {
    const char* reply;
    bool loginRefused;
    const char* advice;  // a piece of it; empty: none at all
  } cases[] = {
      {"535 5.7.139 Authentication unsuccessful, SmtpClientAuthentication is disabled for the Tenant. Visit "
       "https://aka.ms/smtp_auth_disabled for more information. [AM0PR02CA0001.eurprd02.prod.outlook.com]\r\n",
       true, "an administrator must turn on Authenticated SMTP"},
      {"535 5.7.139 Authentication unsuccessful, the user credentials were incorrect. [PH0PR07CA0004]\r\n", true,
       "check /LOGIN and the password."},
      {"535 5.7.139 Authentication unsuccessful, basic authentication is disabled. [BM1P287CA0015]\r\n", true,
       "sign in once with /OAUTHSETUP"},
      {"535 5.7.139 Authentication unsuccessful, the request did not meet the criteria to be authenticated "
       "successfully. Contact your administrator.\r\n",
       true, "sign in once with /OAUTHSETUP"},
      {"535 5.7.3 Authentication unsuccessful [SGXP274CA0016.SGPP274.PROD.OUTLOOK.COM]\r\n", true,
       "check /LOGIN and the password; where Microsoft 365 takes no password"},
      {"534 5.7.9  https://support.google.com/mail/?p=InvalidSecondFactor d2sm1 - gsmtp\r\n", true, "app password"},
      {"530 5.7.0 Must issue a STARTTLS command first. x3 - gsmtp\r\n", false, "add /ENCRYPT:STARTTLS"},
      {"530 5.7.57 Client not authenticated to send mail. [DM5PR13CA0003]\r\n", false,
       "takes mail only from a sender who logs in"},
      {"554 5.7.1 <b@y>: Relay access denied\r\n", false, "passes mail on to other domains"},
      {"550 5.7.26  https://support.google.com/mail/answer/81126#authentication f18 - gsmtp\r\n", false,
       "(SPF, DKIM, DMARC)"},
      {"550 5.7.1 Unauthenticated email from example.com is not accepted due to domain's DMARC policy.\r\n", false,
       "(SPF, DKIM, DMARC)"},
      {"550 5.7.30 DKIM authentication did not pass for this message - gsmtp\r\n", false, "signed with DKIM"},
      {"552 5.3.4 Error: message file too big\r\n", false, "larger than the server takes"},
      {"421 4.7.0 Try again later, closing connection. (EHLO) y4 - gsmtp\r\n", false, "(a rate limit)"},
      {"550 5.4.5 Daily user sending limit exceeded. z7 - gsmtp\r\n", false, "daily sending limit"},
      // Refusals it knows nothing more of.
      {"535 5.7.8 Error: authentication failed: UGFzc3dvcmQ6\r\n", true, "check /LOGIN and the password."},
      {"535 5.7.8 Error: authentication failed\r\n", false, ""},
      {"550 5.1.1 <b@y>: Recipient address rejected: User unknown in local recipient table\r\n", false, ""},
      {"554 5.7.1 Service unavailable; Client host [192.0.2.7] blocked using zen.spamhaus.org\r\n", false, ""},
      {"The SMTP server refused STARTTLS: 530 5.7.0 Must issue a STARTTLS command first\r\n", false, ""},
  };
  for (const auto& c : cases) {
    const std::string advice(RefusalAdvice(c.reply, c.loginRefused));
    if (*c.advice == '\0') {
      EXPECT_EQ(advice, "") << c.reply;
    } else {
      EXPECT_THAT(advice, testing::HasSubstr(c.advice)) << c.reply;
    }
  }
}

}  // namespace
