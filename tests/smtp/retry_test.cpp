// Which failures of a send may pass when the whole job is run again, and
// that none of them leaves the server with a message it may deliver: every
// way a send can end, against the scripted server.

#include "DialogueFixture.h"
#include "smtp/Retry.h"
#include "support/TlsScriptedServer.h"

namespace smtptest {
namespace {

using testserver::Close;
using testserver::ExpectLine;
using testserver::ReadUntil;
using testserver::Stall;
using testserver::StartTls;
using testserver::SmtpDialogue;

/// The accepting dialogue through DATA's 354.
Exchanges UpToData() {
  Exchanges exchanges = Accepting();
  exchanges.resize(5);
  return exchanges;
}

/// The accepting dialogue, the end of the message answered with reply.
Exchanges EndAnswered(const std::string& reply) {
  Exchanges exchanges = UpToData();
  exchanges.push_back({".", reply});
  return exchanges;
}

TEST_F(Dialogue, FailuresThatMayPassAndThoseThatMustNotBeSentAgain) {
  const Exchanges helloToSender = {{"HELO x", "250 hello"}, {"RSET", "250 reset"}};
  Exchanges sender = helloToSender;
  sender.push_back({"MAIL FROM:<s@x>", "250 ok"});
  struct Case {
    const char* name;
    std::vector<Step> script;  // none: nothing listens
    bool transient;
    TSendProgress progress = TSendProgress::kEndNotSent;
    Lines moreRecipients = {};
    bool allOrNothing = false;
    std::string host = "127.0.0.1";
  };
  const Case cases[] = {
      {"greeting 421", SmtpDialogue("421 try later", {{"QUIT", "221 bye"}}), true},
      {"greeting 554", SmtpDialogue("554 go away", {{"QUIT", "221 bye"}}), false},
      {"HELO 421", Script({{"HELO x", "421 closing"}, {"QUIT", "221 bye"}}), true},
      {"MAIL FROM 451", Script(Exchanges{helloToSender[0], helloToSender[1], {"MAIL FROM:<s@x>", "451 later"}}), true},
      {"MAIL FROM 550", Script(Exchanges{helloToSender[0], helloToSender[1], {"MAIL FROM:<s@x>", "550 not you"}}),
       false},
      {"closed before the reply to MAIL FROM", Script(helloToSender, {ExpectLine("MAIL FROM:<s@x>"), Close()}), true},
      {"nothing listens", {}, true},
      {"a name that does not exist", {}, false, TSendProgress::kEndNotSent, {}, false, "no..such"},
      {"451 to the end of the message", Script(EndAnswered("451 try later")), true, TSendProgress::kEndSent},
      {"554 to the end of the message", Script(EndAnswered("554 rejected")), false, TSendProgress::kEndSent},
      {"closed after the end of the message", Script(UpToData(), {ReadUntil("."), Close()}), false,
       TSendProgress::kEndSent},
      {"silent after the end of the message", Script(UpToData(), {ReadUntil("."), Stall()}), false,
       TSendProgress::kEndSent},
      {"a reply without a code to the end", Script(EndAnswered("25O ok")), false, TSendProgress::kEndSent},
      {"accepted, then QUIT refused", Script(Accepting({{"QUIT", "500 no"}})), false, TSendProgress::kAccepted},
      {"the only recipient 450, DATA 554",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "450 greylisted"}, {"DATA", "554 nobody"}}),
       true},
      {"the only recipient 550, DATA 554",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "550 no such user"}, {"DATA", "554 nobody"}}),
       false},
      {"all or nothing: a recipient 450",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "250 ok"}, {"RCPT TO:<t@x>", "450 busy"},
                        {"RSET", "250 reset"}}),
       true, TSendProgress::kEndNotSent, {"t@x"}, true},
      {"all or nothing: one recipient 450, one 550",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "450 busy"}, {"RCPT TO:<t@x>", "550 gone"},
                        {"RSET", "250 reset"}}),
       false, TSendProgress::kEndNotSent, {"t@x"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    smtp->TimeOut = 500;
    smtp->Host = c.host;
    smtp->AllRecipientsRequired = c.allOrNothing;
    for (const std::string& recipient : c.moreRecipients) m->ToAddress().Add(recipient);
    if (c.script.empty()) {
      server.reset();
      smtp->Port = testserver::UnusedPort();
    } else {
      Serve(c.script);
    }
    bool failed = false;
    try {
      smtp->Connect();
      if (smtp->Connected) {
        smtp->SendMail();
        smtp->Disconnect();
      }
    } catch (const std::exception& e) {
      failed = true;
      EXPECT_EQ(IsTransientFailure(*smtp, e), c.transient) << e.what();
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(smtp->Progress(), c.progress);
    if (server) server->Stop();
  }
}

TEST_F(Dialogue, AnUntrustedCertificateIsNoPassingFailure) {
  testserver::TlsScriptedServer tls({StartTls(), testserver::Drain()}, testserver::Certificate::kSelfSigned);
  smtp->Host = "localhost";
  smtp->Port = tls.Port();
  smtp->Encryption = ecTls;
  smtp->CaFile = testserver::TestCaFile();
  try {
    smtp->Connect();
    FAIL() << "connected";
  } catch (const std::exception& e) {
    EXPECT_FALSE(IsTransientFailure(*smtp, e)) << e.what();
  }
}

}  // namespace
}  // namespace smtptest
