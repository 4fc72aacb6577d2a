// Recipients beyond what one transaction takes, and pipelined groups.

#include "DialogueFixture.h"

namespace smtptest {
namespace {

using testserver::ExpectLine;
using testserver::ReadUntil;
using testserver::Send;

const std::string kAuth = "AUTH PLAIN AHUAWnE3";  // user "u", password "Zq7"

std::string Rcpt(int n) { return "RCPT TO:<r" + std::to_string(n) + "@x>"; }

/// A login makes the client greet with EHLO, whose reply may offer PIPELINING.
void LogInAfterEhlo(TQxSMTP& smtp) {
  smtp.LoginName = "u";
  smtp.Password = "Zq7";
  smtp.Encryption = ecNone;
}

/// The dialogue with a server that takes limit recipients per transaction
/// and answers every one past it with limitReply. In lock-step the client
/// asks no further after the first such reply; pipelined, its first group
/// asks for every recipient (up to maxRecipients), and later groups for as
/// many as the server took.
Exchanges SplitDialogue(int recipients, int limit, bool pipelined, const std::string& limitReply,
                        int maxRecipients = 0) {
  Exchanges e;
  if (pipelined) e = {{"EHLO x", "250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN"}, {kAuth, "235 ok"}};
  if (!pipelined) e = {{"HELO x", "250 hello"}};
  e.push_back({"RSET", "250 ok"});
  int cap = maxRecipients > 0 ? maxRecipients : recipients;
  for (int next = 0; next < recipients;) {
    e.push_back({"MAIL FROM:<s@x>", "250 ok"});
    int asked = std::min(cap, recipients - next);
    if (!pipelined) asked = std::min(asked, limit + 1);
    for (int i = 0; i < asked; ++i) e.push_back({Rcpt(next + i), i < limit ? "250 ok" : limitReply});
    e.push_back({"DATA", "354 go"});
    e.push_back({".", "250 queued"});
    if (asked > limit) cap = limit;
    next += std::min(asked, limit);
  }
  e.push_back({"QUIT", "221 bye"});
  return e;
}

TEST_F(Dialogue, EveryRecipientGetsOneCopyWhateverTheServerTakesPerTransaction) {
  const struct {
    const char* name;
    int recipients, limit;
    bool pipelined;
    std::string limitReply;
    int maxRecipients;
    int transactions;
  } cases[] = {
      {"452 after the 100th of 250, lock-step", 250, 100, false, "452 4.5.3 Too many recipients", 0, 3},
      {"452 after the 100th of 250, pipelined", 250, 100, true, "452 4.5.3 Too many recipients", 0, 3},
      {"452 without an enhanced code", 5, 2, false, "452 too many", 0, 3},
      {"the older servers' 552 5.5.3", 5, 2, true, "552 5.5.3 Too many recipients", 0, 3},
      {"MaxRecipients below the server's limit: no limit reply at all", 7, 100, true, "", 3, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Serve(Script(SplitDialogue(c.recipients, c.limit, c.pipelined, c.limitReply, c.maxRecipients)));
    if (c.pipelined) LogInAfterEhlo(*smtp);
    smtp->MaxRecipients = c.maxRecipients;
    m->ToAddress().Clear();
    for (int i = 0; i < c.recipients; ++i) m->ToAddress().Add("r" + std::to_string(i) + "@x");
    std::vector<std::string> notes;
    smtp->OnNote = [&](const std::string& note) { notes.push_back(note); };
    smtp->Connect();
    smtp->SendMail();
    smtp->Disconnect();
    Transcript();
    EXPECT_THAT(smtp->RefusedRecipients(), IsEmpty());
    ASSERT_EQ(smtp->RecipientOutcomes().size(), static_cast<size_t>(c.recipients));
    for (const TRecipientOutcome& r : smtp->RecipientOutcomes()) EXPECT_EQ(r.Fate, TRecipientFate::kDelivered);
    const auto delivered = [](const std::string& note) { return note.find(": delivered to ") != std::string::npos; };
    EXPECT_EQ(std::count_if(notes.begin(), notes.end(), delivered), c.transactions);
  }
}

TEST_F(Dialogue, ALimitAtTheFirstRecipientEndsTheSplittingAndOtherRefusalsStayRefusals) {
  const struct {
    const char* name;
    Exchanges transactions;
    Lines refused;
  } cases[] = {
      {"limit at the first recipient of the second transaction: the rest count as refused",
       {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {Rcpt(0), "250 ok"}, {Rcpt(1), "250 ok"},
        {Rcpt(2), "452 4.5.3 Too many recipients"}, {"DATA", "354 go"}, {".", "250 queued"},
        {"MAIL FROM:<s@x>", "250 ok"}, {Rcpt(2), "452 4.5.3 Too many recipients"}, {"DATA", "503 no recipients"}},
       {"r2@x", "r3@x"}},
      {"452 4.2.2, a full mailbox, refuses that recipient alone",
       {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {Rcpt(0), "250 ok"}, {Rcpt(1), "452 4.2.2 Mailbox full"},
        {Rcpt(2), "250 ok"}, {Rcpt(3), "250 ok"}, {"DATA", "354 go"}, {".", "250 queued"}},
       {"r1@x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Exchanges exchanges{{"HELO x", "250 hello"}};
    exchanges.insert(exchanges.end(), c.transactions.begin(), c.transactions.end());
    exchanges.push_back({"QUIT", "221 bye"});
    Serve(Script(exchanges));
    m->ToAddress().SetText("r0@x\nr1@x\nr2@x\nr3@x");
    Lines reported;
    smtp->OnRecipientNotFound = [&](const std::string& entry) { reported.push_back(entry); };
    smtp->Connect();
    smtp->SendMail();
    smtp->Disconnect();
    Transcript();
    EXPECT_EQ(reported, c.refused);
    Lines refused;
    for (const TRefusedRecipient& r : smtp->RefusedRecipients()) refused.push_back(r.Entry);
    EXPECT_EQ(refused, c.refused);
  }
}

// The server reads the whole group before it answers any of it: a client in
// lock-step would wait for the reply to RSET until its time-out.
TEST_F(Dialogue, PipelinedGroupsAreJudgedInOrder) {
  const std::vector<testserver::Step> group = {ExpectLine("RSET"), ExpectLine("MAIL FROM:<s@x>"), ExpectLine(Rcpt(0)),
                                               ExpectLine(Rcpt(1)), ExpectLine("DATA")};
  const auto then = [&](std::vector<testserver::Step> tail) {
    std::vector<testserver::Step> steps = group;
    steps.insert(steps.end(), tail.begin(), tail.end());
    return steps;
  };
  const struct {
    const char* name;
    std::vector<testserver::Step> script;  // after EHLO and AUTH
    std::string error;
    Lines refused;
    bool dataSent;
  } cases[] = {
      {"a refused recipient in the middle: the others get the message",
       then({Send("250 ok\r\n250 ok\r\n550 no such user\r\n250 ok\r\n354 go\r\n"), ReadUntil("."),
             Send("250 queued\r\n")}),
       "", {"r0@x"}, true},
      {"MAIL FROM refused: DATA's 354 ends with a lone \".\" and the refusal stands",
       then({Send("250 ok\r\n550 not you\r\n503 sender first\r\n503 sender first\r\n354 go\r\n"), ExpectLine("."),
             Send("554 no valid recipients\r\n")}),
       "550 not you\r\n", {}, false},
      {"every recipient refused: no message data behind DATA's 354",
       then({Send("250 ok\r\n250 ok\r\n550 no\r\n550 no\r\n354 go\r\n"), ExpectLine("."), Send("250 ok\r\n")}),
       std::string(kErrNoRecipientAccepted), {"r0@x", "r1@x"}, false},
      {"a reply beyond those due: nothing of the message goes",
       then({Send("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n250 extra\r\n")}), "250 extra\r\n", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    std::vector<testserver::Step> script =
        Script({{"EHLO x", "250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN"}, {kAuth, "235 ok"}}, c.script);
    script.push_back(ExpectLine("QUIT"));
    script.push_back(Send("221 bye\r\n"));
    Serve(script);
    LogInAfterEhlo(*smtp);
    m->ToAddress().SetText("r0@x\nr1@x");
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
    smtp->Disconnect();
    const std::string received = Transcript();
    EXPECT_EQ(received.find("From: <s@x>") != std::string::npos, c.dataSent);
    Lines refused;
    for (const TRefusedRecipient& r : smtp->RefusedRecipients()) refused.push_back(r.Entry);
    EXPECT_EQ(refused, c.refused);
  }
}

TEST_F(Dialogue, AReplyBeforeTheGroupFailsItsFirstCommand) {
  Serve(Script({{"EHLO x", "250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN"}, {kAuth, "235 ok\r\n421 shutting down"}},
               {ExpectLine("QUIT"), Send("221 bye\r\n")}));
  LogInAfterEhlo(*smtp);
  smtp->Connect();
  EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "421 shutting down\r\n");
  smtp->Disconnect();
  EXPECT_EQ(Transcript(), "EHLO x\r\n" + kAuth + "\r\nQUIT\r\n");
}

TEST_F(Dialogue, DeliveryNoticesAreAskedForWhereTheServerOffersThem) {
  const struct {
    const char* name;
    std::string ehloReply;
    std::string mailFrom, rcptTo;
    Lines notes;
  } cases[] = {
      {"offered", "250-hi\r\n250-DSN\r\n250 AUTH PLAIN", "MAIL FROM:<s@x> RET=HDRS ENVID=id+2B1@x",
       "RCPT TO:<r@x> NOTIFY=SUCCESS,FAILURE", {}},
      {"not offered: sent without them, and said so", "250-hi\r\n250 AUTH PLAIN", "MAIL FROM:<s@x>", "RCPT TO:<r@x>",
       {std::string(kNoteNoDsn)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Serve(Script({{"EHLO x", c.ehloReply},
                  {kAuth, "235 ok"},
                  {"RSET", "250 ok"},
                  {c.mailFrom, "250 ok"},
                  {c.rcptTo, "250 ok"},
                  {"DATA", "354 go"},
                  {".", "250 queued"},
                  {"QUIT", "221 bye"}}));
    LogInAfterEhlo(*smtp);
    smtp->DsnNotify = "SUCCESS,FAILURE";
    smtp->DsnReturn = "HDRS";
    smtp->DsnEnvelopeId = "id+1@x";
    Lines notes;
    smtp->OnNote = [&](const std::string& note) { notes.push_back(note); };
    smtp->Connect();
    smtp->SendMail();
    smtp->Disconnect();
    Transcript();
    EXPECT_EQ(notes, c.notes);
  }
}

}  // namespace
}  // namespace smtptest
