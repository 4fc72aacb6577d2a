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
  int cap = maxRecipients > 0 ? maxRecipients : recipients;
  for (int next = 0; next < recipients;) {
    e.push_back({"RSET", "250 ok"});
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

TEST_F(Dialogue, ALimitBeforeAnyoneWasAcceptedRefusesThatRecipientAlone) {
  const struct {
    const char* name;
    Exchanges transactions;
    Lines refused;
  } cases[] = {
      // A 452 may mean the server's storage is full for that recipient: the
      // others must still get their RCPT TO, and none is refused unasked.
      {"limit at the first recipient of the second transaction: its own refusal, the next ones go on",
       {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {Rcpt(0), "250 ok"},
        {Rcpt(1), "452 insufficient system storage"}, {"DATA", "354 go"}, {".", "250 queued"},
        {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {Rcpt(1), "452 insufficient system storage"},
        {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {Rcpt(2), "250 ok"}, {"DATA", "354 go"},
        {".", "250 queued"},
        {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {Rcpt(3), "250 ok"}, {"DATA", "354 go"},
        {".", "250 queued"}},
       {"r1@x"}},
      {"limit at the very first recipient", {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"},
        {Rcpt(0), "452 4.5.3 Too many recipients"}, {Rcpt(1), "250 ok"}, {Rcpt(2), "250 ok"}, {Rcpt(3), "250 ok"},
        {"DATA", "354 go"}, {".", "250 queued"}},
       {"r0@x"}},
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
    bool hangsUp = false;
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
      // The replies still due meet the closed connection: a lost connection,
      // nobody refused.
      {"the server hangs up after answering RSET and MAIL FROM",
       then({Send("250 ok\r\n250 ok\r\n"), testserver::Close()}),
       "The SMTP server closed the connection: no reply to RCPT TO", {}, false, true},
      {"DATA answered with 250: no message line goes as a command",
       then({Send("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n"), testserver::Drain()}), "250 ok\r\n", {},
       false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    std::vector<testserver::Step> script =
        Script({{"EHLO x", "250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN"}, {kAuth, "235 ok"}}, c.script);
    if (!c.hangsUp) script.insert(script.end(), {ExpectLine("QUIT"), Send("221 bye\r\n")});
    Serve(script);
    LogInAfterEhlo(*smtp);
    m->ToAddress().SetText("r0@x\nr1@x");
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
    EXPECT_EQ(smtp->Connected, !c.hangsUp);
    smtp->Disconnect();
    const std::string received = Transcript();
    EXPECT_EQ(received.find("From: <s@x>") != std::string::npos, c.dataSent);
    Lines refused;
    for (const TRefusedRecipient& r : smtp->RefusedRecipients()) refused.push_back(r.Entry);
    EXPECT_EQ(refused, c.refused);
  }
}

// A send split by a 452 loses its connection in the middle of the second
// group: the first transaction's recipients have the message, the rest
// neither have it nor count as refused, and nothing reads a reply that
// never came.
TEST_F(Dialogue, ALinkLostInTheMiddleOfAGroupFailsAsALostConnection) {
  const struct {
    const char* name;
    std::vector<testserver::Step> secondGroup;  // the server's part after reading it
    std::string error;
  } cases[] = {
      {"closed after the replies to RSET and MAIL FROM", {Send("250 ok\r\n250 ok\r\n"), testserver::Close()},
       "The SMTP server closed the connection: no reply to RCPT TO"},
      {"closed after one recipient's reply", {Send("250 ok\r\n250 ok\r\n250 ok\r\n"), testserver::Close()},
       "The SMTP server closed the connection: no reply to RCPT TO"},
      {"closed before any reply", {testserver::Close()}, "The SMTP server closed the connection: no reply to RSET"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    std::vector<testserver::Step> script =
        Script({{"EHLO x", "250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN"}, {kAuth, "235 ok"}},
               {ExpectLine("RSET"), ExpectLine("MAIL FROM:<s@x>"), ExpectLine(Rcpt(0)), ExpectLine(Rcpt(1)),
                ExpectLine(Rcpt(2)), ExpectLine(Rcpt(3)), ExpectLine(Rcpt(4)), ExpectLine("DATA"),
                Send("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n452 4.5.3 Too many recipients\r\n"
                     "452 4.5.3 Too many recipients\r\n452 4.5.3 Too many recipients\r\n354 go\r\n"),
                ReadUntil("."), Send("250 queued\r\n"), ExpectLine("RSET"), ExpectLine("MAIL FROM:<s@x>"),
                ExpectLine(Rcpt(2)), ExpectLine(Rcpt(3)), ExpectLine("DATA")});
    script.insert(script.end(), c.secondGroup.begin(), c.secondGroup.end());
    Serve(script);
    LogInAfterEhlo(*smtp);
    m->ToAddress().SetText("r0@x\nr1@x\nr2@x\nr3@x\nr4@x");
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
    EXPECT_FALSE(smtp->Connected);
    Transcript();
    EXPECT_THAT(smtp->RefusedRecipients(), IsEmpty());
    std::vector<TRecipientFate> fates;
    for (const TRecipientOutcome& r : smtp->RecipientOutcomes()) fates.push_back(r.Fate);
    EXPECT_EQ(fates, (std::vector<TRecipientFate>{TRecipientFate::kDelivered, TRecipientFate::kDelivered,
                                                  TRecipientFate::kNotSent, TRecipientFate::kNotSent,
                                                  TRecipientFate::kNotSent}));
  }
}

// With QuitAfterSend, QUIT rides with the end of the last message: the
// server reads it before it answers the end.
TEST_F(Dialogue, QuitGoesWithTheLastEndWherePipelined) {
  Serve(Script({{"EHLO x", "250-hi\r\n250-PIPELINING\r\n250 AUTH PLAIN"}, {kAuth, "235 ok"}},
               {ExpectLine("RSET"), ExpectLine("MAIL FROM:<s@x>"), ExpectLine(Rcpt(0)), ExpectLine("DATA"),
                Send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n"), ReadUntil("."), ExpectLine("QUIT"),
                Send("250 queued\r\n221 bye\r\n")}));
  LogInAfterEhlo(*smtp);
  smtp->QuitAfterSend = true;
  m->ToAddress().SetText("r0@x");
  smtp->Connect();
  smtp->SendMail();
  EXPECT_EQ(smtp->Progress(), TSendProgress::kAccepted);
  EXPECT_EQ(ErrorOf([&] { smtp->Disconnect(); }), "");
  const std::string received = Transcript();
  EXPECT_EQ(received.substr(received.size() - 11), "\r\n.\r\nQUIT\r\n") << "QUIT went once";
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
    bool login;
    Exchanges hello;
    std::string mailFrom, rcptTo;
    Lines notes;
  } cases[] = {
      {"offered", true, {{"EHLO x", "250-hi\r\n250-DSN\r\n250 AUTH PLAIN"}, {kAuth, "235 ok"}},
       "MAIL FROM:<s@x> RET=HDRS ENVID=id+2B1@x", "RCPT TO:<r@x> NOTIFY=SUCCESS,FAILURE", {}},
      {"not offered: sent without them, and said so", true, {{"EHLO x", "250-hi\r\n250 AUTH PLAIN"}, {kAuth, "235 ok"}},
       "MAIL FROM:<s@x>", "RCPT TO:<r@x>", {std::string(kNoteNoDsn)}},
      // Asking for them is what makes the session say EHLO: HELO would leave
      // nothing to ask with.
      {"without a login or encryption", false, {{"EHLO x", "250-hi\r\n250 DSN"}}, "MAIL FROM:<s@x> RET=HDRS ENVID=id+2B1@x",
       "RCPT TO:<r@x> NOTIFY=SUCCESS,FAILURE", {}},
      {"EHLO refused: HELO follows", false, {{"EHLO x", "502 not implemented"}, {"HELO x", "250 hello"}},
       "MAIL FROM:<s@x>", "RCPT TO:<r@x>", {std::string(kNoteEhloRefused), std::string(kNoteNoDsn)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Exchanges exchanges = c.hello;
    exchanges.insert(exchanges.end(), {{"RSET", "250 ok"},
                                       {c.mailFrom, "250 ok"},
                                       {c.rcptTo, "250 ok"},
                                       {"DATA", "354 go"},
                                       {".", "250 queued"},
                                       {"QUIT", "221 bye"}});
    Serve(Script(exchanges));
    if (c.login) LogInAfterEhlo(*smtp);
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

// A job without a time-out of its own still ends: each wait has the
// standard's bound (shortened here).
TEST_F(Dialogue, WithoutATimeOutEachWaitHasTheStandardsBound) {
  const struct {
    const char* name;
    Exchanges before;
    std::vector<testserver::Step> stall;
    std::string error;
  } cases[] = {
      {"a reply that never comes", {{"HELO x", "250 hello"}, {"RSET", "250 ok"}},
       {ExpectLine("MAIL FROM:<s@x>"), testserver::Stall()},
       "Socket readln aborted: no reply to MAIL FROM within 300 ms"},
      {"data nobody takes", {{"HELO x", "250 hello"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"},
                             {"RCPT TO:<r@x>", "250 ok"}, {"DATA", "354 go"}},
       {testserver::Stall()}, "Socket send aborted: the server took no data for 400 ms in the middle of the message"},
      {"no reply to the end", {{"HELO x", "250 hello"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"},
                               {"RCPT TO:<r@x>", "250 ok"}, {"DATA", "354 go"}},
       {ReadUntil("."), testserver::Stall()},
       "Socket readln aborted: no reply to the end of the message within 500 ms\r\n" +
           std::string(kMayHaveBeenDelivered)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Serve(Script(c.before, c.stall));
    smtp->TimeOut = 0;
    smtp->StandardWaits = {.command = 300, .dataStart = 300, .dataBlock = 400, .dataEnd = 500};
    if (c.error.find("took no data") != std::string::npos) m->Body().Add(std::string(kBeyondSocketBuffers, 'x'));
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
    EXPECT_EQ(smtp->TimeOut, 0) << "the job's own setting stays";
    server->Stop();
  }
}

}  // namespace
}  // namespace smtptest
