// Refusals and the state they leave, servers that hang up or answer without
// a code, values that would break a line, a header too long for one write,
// the closing "QUIT", an abort in the middle of the data, and which failures
// a later attempt may get past without sending the message twice.

#include <filesystem>
#include <fstream>
#include <utility>

#include "smtp/DialogueFixture.h"
#include "smtp/Retry.h"
#include "support/TlsScriptedServer.h"

namespace {

using namespace smtptest;
using testserver::Close;
using testserver::Drain;
using testserver::ExpectLine;
using testserver::ReadUntil;
using testserver::Send;
using testserver::SmtpDialogue;
using testserver::Stall;
using testserver::StartTls;

const std::string kClosedText = "The SMTP server closed the connection: ";
const std::string kCodelessText = "The SMTP server sent a reply to DATA without a code: ";
const Lines kPlainHeader{"From: <s@x>", "To: r@x", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"};

/// received is expected, possibly followed by a "QUIT" that met a server
/// already gone (whether the client still saw the connection open depends
/// on when the close notification arrived).
void ExpectTranscript(const std::string& received, const std::string& expected) {
  EXPECT_TRUE(received == expected || received == expected + "QUIT\r\n") << received;
}

std::string Repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

// --- Refused steps of a send -------------------------------------------------

TEST_F(Dialogue, RefusalsFailTheSendAndLeaveEverythingAsItWas) {
  struct Case {
    const char* name;
    Exchanges exchanges;  // after HELO, up to and including the refusal
    std::string error;
    bool failureEvent;
  };
  const Case cases[] = {
      {"RSET refused", {{"RSET", "500 unknown command"}}, "500 unknown command\r\n", false},
      {"MAIL FROM refused", {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "550 sender rejected"}},
       "550 sender rejected\r\n", false},
      {"DATA refused",
       {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {"RCPT TO:<r@x>", "250 ok"}, {"DATA", "554 no"}},
       "554 no\r\n", false},
      {"end of data refused",
       {{"RSET", "250 ok"},
        {"MAIL FROM:<s@x>", "250 ok"},
        {"RCPT TO:<r@x>", "250 ok"},
        {"DATA", "354 go"},
        {".", "552 too big"}},
       "552 too big\r\n", true},
      {"replies of several lines at every step, the end of data refused by the last line",
       {{"RSET", "250-a\r\n250-b\r\n250-c\r\n250 reset"},
        {"MAIL FROM:<s@x>", "250-sender\r\n250 ok"},
        {"RCPT TO:<r@x>", "250-recipient\r\n250 ok"},
        {"DATA", "354-go\r\n354 ahead"},
        {".", "552-message\r\n552 too big"}},
       "552 too big\r\n", true},
      {"a 3xx after the data is no acceptance",
       {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {"RCPT TO:<r@x>", "250 ok"}, {"DATA", "354 go"},
        {".", "354 more?"}},
       "354 more?\r\n", true},
      {"a line out of turn fails the next step unsent",
       {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {"RCPT TO:<r@x>", "250 ok\r\n250 stray"}},
       "250 stray\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Exchanges exchanges{{"HELO x", "250 hello"}};
    exchanges.insert(exchanges.end(), c.exchanges.begin(), c.exchanges.end());
    exchanges.push_back({"QUIT", "221 bye"});
    Serve(Script(exchanges));
    m->Attachments().SetText(dir.Write("a.bin", "abc"));
    int failures = 0;
    int successes = 0;
    smtp->OnFailure = [&](TObject* sender) {
      EXPECT_EQ(sender, smtp);
      ++failures;
    };
    smtp->OnSuccess = [&](TObject*) { ++successes; };
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
    EXPECT_EQ(failures, c.failureEvent ? 1 : 0);
    EXPECT_EQ(successes, 0);
    EXPECT_TRUE(smtp->Connected);
    EXPECT_FALSE(smtp->Busy());
    EXPECT_EQ(m->ToAddress().Items(), Lines{"r@x"});
    EXPECT_EQ(m->Attachments().Count(), 1);
    smtp->Disconnect();
    const std::string received = Transcript();
    EXPECT_EQ(received.substr(received.size() - 6), "QUIT\r\n");
  }
}

// --- The reply to one step, from accepted to refused -------------------------

TEST_F(Dialogue, OnlyAFittingThreeDigitCodeAccepts) {
  struct Case {
    const char* name;
    std::vector<Step> reply;  // the server's answer to DATA
    std::string error;        // empty: accepted
  };
  const Case cases[] = {
      {"354", {Send("354 go\r\n")}, ""},
      // The message's lines would reach the server as commands.
      {"250 opens no data phase", {Send("250 go\r\n")}, "250 go\r\n"},
      {"nor does 399", {Send("399 hmm\r\n")}, "399 hmm\r\n"},
      {"400 is refused", {Send("400 no\r\n")}, "400 no\r\n"},
      {"a preliminary 1xx is no answer", {Send("150 wait\r\n")}, "150 wait\r\n"},
      {"two digits are no code", {Send("25 ok\r\n")}, kCodelessText + "25 ok\r\n"},
      {"four digits are no code", {Send("2500 ok\r\n")}, kCodelessText + "2500 ok\r\n"},
      {"no digits at all", {Send("+OK go\r\n")}, kCodelessText + "+OK go\r\n"},
      {"lines of different codes", {Send("354-go\r\n554 no\r\n")}, "554 no\r\n"},
      {"a bare line end", {Send("\r\n")}, "The SMTP server sent an empty reply to DATA"},
      {"the server hangs up", {Close()}, kClosedText + "no reply to DATA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    std::vector<Step> script = Script(
        {{"HELO x", "250 hello"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {"RCPT TO:<r@x>", "250 ok"}},
        {ExpectLine("DATA")});
    script.insert(script.end(), c.reply.begin(), c.reply.end());
    if (c.error.empty()) {
      script.insert(script.end(), {ReadUntil("."), Send("250 queued\r\n")});
    }
    // After a positive reply other than 354 nobody knows what the server
    // would make of QUIT: the connection is dropped instead.
    const bool outOfStep = c.error.starts_with("250") || c.error.starts_with("399");
    if (!outOfStep) script.insert(script.end(), {ExpectLine("QUIT"), Send("221 bye\r\n")});
    Serve(script);
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
    if (outOfStep) {
      EXPECT_FALSE(smtp->Connected);
    }
    EXPECT_FALSE(smtp->Busy());
    smtp->Disconnect();
    server->Join();
    const std::string received = server->Received();
    if (c.error.empty()) {
      EXPECT_THAT(server->Failures(), IsEmpty());
      EXPECT_EQ(received, kEnvelope + Block(kPlainHeader) + ".\r\nQUIT\r\n");
    } else {
      ExpectTranscript(received, kEnvelope);
    }
  }
}

// --- Servers that hang up instead of answering -------------------------------

TEST_F(Dialogue, HangUpInsteadOfAReplyIsAFailureNeverASuccess) {
  struct Case {
    const char* name;
    bool greets;
    Exchanges before;  // answered normally
    std::string last;  // the line the server reads, then hangs up
    bool connectFails;
    std::string error;
    int failureEvents;
    std::string parting = {};  // said before a reset in the middle of a large body, instead of a close
  };
  const Case cases[] = {
      {"no greeting", false, {}, "", true, kClosedText + "no greeting", 0},
      {"no reply to HELO", true, {}, "HELO x", true, kClosedText + "no reply to HELO", 0},
      {"no reply to RSET", true, {{"HELO x", "250 hello"}}, "RSET", false, kClosedText + "no reply to RSET", 0},
      {"no reply to MAIL FROM", true, {{"HELO x", "250 hello"}, {"RSET", "250 ok"}}, "MAIL FROM:<s@x>", false,
       kClosedText + "no reply to MAIL FROM", 0},
      // No reply is no refusal: the recipient may be tried again.
      {"no reply to RCPT TO", true, {{"HELO x", "250 hello"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}},
       "RCPT TO:<r@x>", false, kClosedText + "no reply to RCPT TO", 0},
      {"no reply to the end of the message", true,
       {{"HELO x", "250 hello"},
        {"RSET", "250 ok"},
        {"MAIL FROM:<s@x>", "250 ok"},
        {"RCPT TO:<r@x>", "250 ok"},
        {"DATA", "354 go"}},
       ".", false, kClosedText + "no reply to the end of the message\r\n" + std::string(kMayHaveBeenDelivered), 1},
      {"a reset in the middle of the data, after a reason", true,
       {{"HELO x", "250 hello"},
        {"RSET", "250 ok"},
        {"MAIL FROM:<s@x>", "250 ok"},
        {"RCPT TO:<r@x>", "250 ok"},
        {"DATA", "354 go"}},
       "From: <s@x>", false, "554 too big\r\n10054:Connection reset by peer", 0, "554 too big\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    // Without a greeting the server lets the connection settle first: a close
    // in the instant of the accept already fails the socket layer's connect.
    std::vector<Step> script = c.greets ? Script(c.before) : std::vector<Step>{testserver::Wait(200)};
    if (!c.last.empty()) script.push_back(c.last == "." ? ReadUntil(".") : ExpectLine(c.last));
    if (c.parting.empty()) {
      script.push_back(Close());
    } else {
      script.insert(script.end(), {Send(c.parting), testserver::Reset()});
      m->Body().Add(std::string(kBeyondSocketBuffers, 'x'));
    }
    Serve(script);
    int failures = 0;
    int successes = 0;
    std::vector<std::string> refused;
    smtp->OnFailure = [&](TObject*) { ++failures; };
    smtp->OnSuccess = [&](TObject*) { ++successes; };
    smtp->OnRecipientNotFound = [&](const std::string& entry) { refused.push_back(entry); };
    if (c.connectFails) {
      EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), c.error);
      EXPECT_FALSE(smtp->Connected);
    } else {
      smtp->Connect();
      EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
      EXPECT_EQ(ErrorOf([&] { smtp->Disconnect(); }), "");
    }
    EXPECT_EQ(failures, c.failureEvents);
    EXPECT_EQ(successes, 0);
    EXPECT_THAT(refused, IsEmpty());
    EXPECT_EQ(m->ToAddress().Count(), 1);
    EXPECT_FALSE(smtp->Busy());
  }
}

TEST_F(Dialogue, FaultyGreetingOrHeloReplyFailsTheConnect) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    std::string error;
    std::string transcript;  // then a "QUIT" when the server hangs up first
  };
  const Case cases[] = {
      {"greeting without a code", {Send("+OK hello\r\n"), ExpectLine("QUIT"), Send("221 bye\r\n")},
       "The SMTP server sent a greeting without a code: +OK hello\r\n", "QUIT\r\n"},
      {"HELO reply without a code",
       {Send("220 hi\r\n"), ExpectLine("HELO x"), Send("hello\r\n"), ExpectLine("QUIT"), Send("221 bye\r\n")},
       "Authentication failed", "HELO x\r\nQUIT\r\n"},
      {"greeting ends in the middle of its lines", {Send("220-first\r\n"), Close()},
       kClosedText + "no greeting", ""},
      // The rest of the line would pass for the reply to a "QUIT".
      {"greeting longer than the reply buffer", {Send("220 " + std::string(70000, 'x') + "\r\n"), Drain()},
       "Socket readln line too long", ""},
      {"a line out of turn before HELO", {Send("220 hi\r\n421 shutting down\r\n"), Close()},
       "421 shutting down\r\n", ""},
      {"a greeting that never ends", {Send(Repeated("220-more\r\n", 1001)), Drain()},
       "The SMTP server sent a reply of more than 1000 lines", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Serve(c.script);
    bool connected = false;
    smtp->OnConnect = [&](TObject*) { connected = true; };
    EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), c.error);
    EXPECT_FALSE(connected);
    EXPECT_FALSE(smtp->Connected);
    server->Join();
    ExpectTranscript(server->Received(), c.transcript);
  }
}

// --- Values that would break a line ------------------------------------------

TEST_F(Dialogue, LineBreaksInValuesAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::function<void(TQxSMTP&)> spoil;
    std::string error;
  };
  const std::string nul("\0", 1);
  const std::string tail = " must not contain CR, LF or NUL characters";
  const Case cases[] = {
      {[](TQxSMTP& s) { s.PostMessage().FromAddress = "s@x>\r\nRCPT TO:<evil@x"; }, "FromAddress" + tail},
      {[](TQxSMTP& s) { s.PostMessage().FromName = "Ann\n"; }, "FromName" + tail},
      {[](TQxSMTP& s) { s.PostMessage().Subject = "Hi\r\nBcc: evil@x"; }, "Subject" + tail},
      {[](TQxSMTP& s) { s.PostMessage().ReplyTo = "r@x\r"; }, "ReplyTo" + tail},
      {[nul](TQxSMTP& s) { s.PostMessage().Date = "Mon" + nul; }, "Date" + tail},
      {[](TQxSMTP& s) { s.PostMessage().LocalProgram = "x\ny"; }, "LocalProgram" + tail},
      {[](TQxSMTP& s) { s.Charset = "us-ascii\r\nX-Evil: 1"; }, "Charset" + tail},
      {[](TQxSMTP& s) { s.PostMessage().ToAddress().Add("b@x>\r\nDATA"); }, "ToAddress entry 2" + tail},
      {[](TQxSMTP& s) { s.PostMessage().ToCarbonCopy().Add("c@x\n"); }, "ToCarbonCopy entry 1" + tail},
      {[nul](TQxSMTP& s) { s.PostMessage().ToBlindCarbonCopy().Add(nul); }, "ToBlindCarbonCopy entry 1" + tail},
      {[](TQxSMTP& s) { s.PostMessage().Attachments().Add("C:\\dir\\a\r\nb.txt"); }, "Attachments entry 1" + tail},
      {[](TQxSMTP& s) {
         s.PostMessage().FromAddress.clear();
         s.OnHeaderIncomplete = [&s](bool& handled, int) {
           s.PostMessage().FromAddress = "late@x\r\nRSET";
           handled = true;
         };
       },
       "FromAddress" + tail},
      {[](TQxSMTP& s) { s.OnSendStart = [&s](TObject*) { s.FinalHeader().Add("X-A: 1\r\nX-B: 2"); }; },
       "FinalHeader line 5" + tail},
  };
  Serve(Script({{"HELO x", "250 hello"}, {"QUIT", "221 bye"}}));
  smtp->Connect();
  for (const Case& c : cases) {
    TQxSMTP& s = *smtp;
    m->FromAddress = "s@x";
    m->FromName = m->Subject = m->ReplyTo = m->Date = m->LocalProgram = "";
    s.Charset = "us-ascii";
    m->ToAddress().SetText("r@x");
    m->ToCarbonCopy().Clear();
    m->ToBlindCarbonCopy().Clear();
    m->Attachments().Clear();
    s.OnHeaderIncomplete = nullptr;
    s.OnSendStart = nullptr;
    c.spoil(s);
    EXPECT_EQ(ErrorOf([&] { s.SendMail(); }), c.error);
    EXPECT_FALSE(s.Busy());
  }
  smtp->Disconnect();
  EXPECT_EQ(Transcript(), "HELO x\r\nQUIT\r\n");
}

TEST_F(Dialogue, LineBreakInUserIdRefusedBeforeConnecting) {
  Serve(Script({{"HELO x", "250 hello"}, {"QUIT", "221 bye"}}));
  smtp->UserID = "x\r\nMAIL FROM:<evil@x>";
  EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "UserID must not contain CR, LF or NUL characters");
  EXPECT_FALSE(smtp->Connected);
  EXPECT_EQ(server->Accepted(), 0);
  smtp->UserID = "x";
  smtp->Connect();
  smtp->Disconnect();
  EXPECT_EQ(Transcript(), "HELO x\r\nQUIT\r\n");
}

// --- A header block that one write cannot carry ------------------------------

TEST_F(Dialogue, HeaderBlockBeyondOneWriteFailsBeforeTheTransaction) {
  // The block is 86 bytes plus the length of the one To entry, which has no
  // blank to fold its line at.
  const auto entryFor = [](size_t blockSize) { return std::string(blockSize - 86 - 5, 'N') + "<r@x>"; };

  Serve(Script({{"HELO x", "250 hello"},
                {"RSET", "250 ok"},
                {"MAIL FROM:<s@x>", "250 ok"},
                {"RCPT TO:<r@x>", "250 ok"},
                {"DATA", "354 go"},
                {".", "250 queued"},
                {"QUIT", "221 bye"}}));
  smtp->Connect();
  m->ToAddress().SetText(entryFor(65536));
  try {
    smtp->SendMail();
    ADD_FAILURE() << "no error";
  } catch (const ERangeError& e) {
    EXPECT_EQ(e.Message(), "The message header is too long to send: 65536 bytes (at most 65535)");
  }
  EXPECT_FALSE(smtp->Busy());

  m->ToAddress().SetText(entryFor(65535));  // the largest block that fits goes out whole
  smtp->SendMail();
  smtp->Disconnect();
  EXPECT_EQ(Transcript(), kEnvelope +
                              Block({"From: <s@x>", "To: " + entryFor(65535), "MIME-Version: 1.0",
                                     "Content-Type: text/plain; charset=us-ascii"}) +
                              ".\r\nQUIT\r\n");
}

// --- The closing QUIT ----------------------------------------------------------

TEST_F(Dialogue, QuitRepliesAndHangUps) {
  struct Case {
    const char* name;
    std::vector<Step> end;  // after the HELO exchange
    std::string error;
  };
  const Case cases[] = {
      {"221", {ExpectLine("QUIT"), Send("221 bye\r\n")}, ""},
      {"339 is the last accepted", {ExpectLine("QUIT"), Send("339 odd\r\n")}, ""},
      {"350 refused", {ExpectLine("QUIT"), Send("350 not yet\r\n")}, "350 not yet\r\n"},
      {"no code", {ExpectLine("QUIT"), Send("bye\r\n")},
       "The SMTP server sent a reply to QUIT without a code: bye\r\n"},
      {"hang-up instead of a reply", {ExpectLine("QUIT"), Close()}, ""},
      {"hang-up before QUIT", {Close()}, ""},
      {"no reply in time", {ExpectLine("QUIT"), testserver::Wait(1000)}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    smtp->TimeOut = 300;
    Serve(Script({{"HELO x", "250 hello"}}, c.end));
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->Disconnect(); }), c.error);
    EXPECT_FALSE(smtp->Connected);  // closed in every case
    server->Join();
    ExpectTranscript(server->Received(), "HELO x\r\n");
  }
}

TEST_F(Dialogue, AcceptedMessageStaysAcceptedWhenTheServerHangsUp) {
  Serve(Script(Accepting({}), {Close()}));
  int successes = 0;
  smtp->OnSuccess = [&](TObject*) { ++successes; };
  smtp->Connect();
  smtp->SendMail();
  EXPECT_EQ(ErrorOf([&] { smtp->Disconnect(); }), "");
  EXPECT_EQ(successes, 1);
  server->Join();
  ExpectTranscript(server->Received(), kEnvelope + Block(kPlainHeader) + ".\r\n");
}

TEST_F(Dialogue, RefusedQuitOfAFailedConnectTakesThePlaceOfTheFirstError) {
  Serve({Send("421 busy\r\n"), ExpectLine("QUIT"), Send("500 what\r\n")});
  EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "500 what\r\n");
  EXPECT_FALSE(smtp->Connected);
  EXPECT_FALSE(smtp->Busy());
  EXPECT_EQ(Transcript(), "QUIT\r\n");
}

// --- Time-outs ------------------------------------------------------------------

TEST_F(Dialogue, TimeOutsNameTheStepThatWaited) {
  struct Case {
    const char* name;
    Exchanges before;  // answered normally, after the greeting
    std::string last;  // the line the server reads before it goes silent
    std::string error;
    bool bigBody = false;
    std::vector<Step> reply = {};  // what the server sends before it goes silent
  };
  const Exchanges upToData{{"HELO x", "250 hello"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"},
                           {"RCPT TO:<r@x>", "250 ok"}};
  Exchanges upToEnd = upToData;
  upToEnd.push_back({"DATA", "354 go"});
  const std::string readAborted = "Socket readln aborted: no ";
  const Case cases[] = {
      {"greeting", {}, "", readAborted + "greeting within 300 ms"},
      {"reply to HELO", {}, "HELO x", readAborted + "reply to HELO within 300 ms"},
      // Each line well within the time, the reply as a whole far beyond it: a
      // client that timed each line would take the reply and go on.
      {"reply to HELO whose lines keep coming", {}, "HELO x", readAborted + "reply to HELO within 300 ms", false,
       {testserver::SendFragments(std::vector<std::string>(40, "250-slow\r\n"), 100), Send("250 hello\r\n")}},
      {"reply to RSET", {{"HELO x", "250 hello"}}, "RSET", readAborted + "reply to RSET within 300 ms"},
      {"reply to MAIL FROM", {{"HELO x", "250 hello"}, {"RSET", "250 ok"}}, "MAIL FROM:<s@x>",
       readAborted + "reply to MAIL FROM within 300 ms"},
      {"reply to RCPT TO", {{"HELO x", "250 hello"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}},
       "RCPT TO:<r@x>", readAborted + "reply to RCPT TO within 300 ms"},
      {"reply to DATA", upToData, "DATA", readAborted + "reply to DATA within 300 ms"},
      {"reply to the end of the message", upToEnd, ".",
       readAborted + "reply to the end of the message within 300 ms\r\n" + std::string(kMayHaveBeenDelivered)},
      {"message data", upToEnd, "", "Socket send aborted: the server took no data for 300 ms in the middle of the message",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    smtp->TimeOut = 300;
    smtp->TimeSends = true;
    if (c.bigBody) m->Body().Add(std::string(kBeyondSocketBuffers, 'x'));
    std::vector<Step> script = c.name == std::string("greeting") ? std::vector<Step>{} : Script(c.before);
    if (!c.last.empty()) script.push_back(c.last == "." ? ReadUntil(".") : ExpectLine(c.last));
    script.insert(script.end(), c.reply.begin(), c.reply.end());
    script.push_back(testserver::Stall());
    Serve(script);
    int successes = 0;
    smtp->OnSuccess = [&](TObject*) { ++successes; };
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    if (c.before.empty()) {  // the greeting or the reply to HELO
      error = ErrorOf([&] { smtp->Connect(); });
    } else {
      smtp->Connect();
      error = ErrorOf([&] { smtp->SendMail(); });
    }
    EXPECT_EQ(error, c.error);
    // Against a hang only: composing the large body alone takes seconds
    // under the sanitizers on a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_TRUE(smtp->TimedOut);
    EXPECT_EQ(successes, 0);
    EXPECT_FALSE(smtp->Connected);  // no goodbye to a server out of step
    EXPECT_FALSE(smtp->Busy());
    server->Stop();
    server->Join();
    std::string sent;
    for (const auto& [line, reply] : c.before) sent += line + "\r\n";
    if (c.bigBody) {
      EXPECT_EQ(server->Received().substr(0, kEnvelope.size()), kEnvelope);
    } else if (c.last == ".") {
      EXPECT_EQ(server->Received(), kEnvelope + Block(kPlainHeader) + ".\r\n");
    } else {
      EXPECT_EQ(server->Received(), sent + (c.last.empty() ? "" : c.last + "\r\n"));
    }
  }
}

// --- Abort -----------------------------------------------------------------------

TEST_F(Dialogue, AbortDuringTheDataEndsTheSendAndClearsTheBusyFlag) {
  Serve(Script({{"HELO x", "250 hello"},
                {"RSET", "250 ok"},
                {"MAIL FROM:<s@x>", "250 ok"},
                {"RCPT TO:<r@x>", "250 ok"},
                {"DATA", "354 go"}},
               {Drain()}));
  m->Body().Add(std::string(300000, 'x'));
  m->Attachments().Add(dir.Write("a.bin", "abc"));
  int successes = 0;
  smtp->OnSuccess = [&](TObject*) { ++successes; };
  smtp->OnPacketSent = [&](TObject*) { smtp->Abort(); };
  smtp->Connect();
  try {
    smtp->SendMail();
    ADD_FAILURE() << "no error";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "Socket send aborted");
  }
  EXPECT_EQ(successes, 0);
  EXPECT_FALSE(smtp->Busy());
  EXPECT_EQ(m->ToAddress().Items(), Lines{"r@x"});
  EXPECT_EQ(m->Attachments().Count(), 1);
  EXPECT_FALSE(smtp->Connected);  // closed at once: no goodbye in the middle of the data
  EXPECT_EQ(ErrorOf([&] { smtp->Disconnect(); }), "");
  const std::string received = Transcript();
  EXPECT_EQ(received.substr(0, kEnvelope.size()), kEnvelope);
  EXPECT_LT(received.size(), kEnvelope.size() + 300000);
}

// A file that changes while its part goes out never ends the message: the
// connection ends in the middle of the data, so the server drops it.
TEST_F(Dialogue, AFileThatChangesWhileItIsSentEndsTheConnectionBeforeTheEnd) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows holds an attachment without sharing while it is sent: nobody can change it";
#endif
  const struct {
    const char* name;
    std::function<void(const std::string& path)> change;
    std::string how;
  } cases[] = {
      {"shrinks", [](const std::string& path) { std::filesystem::resize_file(path, 1000); }, "it became shorter"},
      {"grows", [](const std::string& path) { std::ofstream(path, std::ios::app) << "more"; }, "it grew"},
      {"written to, its size kept",
       [](const std::string& path) {
         std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
         file.seekp(500000);
         file << 'b';
       },
       "it was written to"},
  };
  for (const auto& c : cases) {
    Renew();
    Serve(Script({{"HELO x", "250 hello"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"},
                  {"RCPT TO:<r@x>", "250 ok"}, {"DATA", "354 go"}},
                 {Drain()}));
    const std::string path = dir.Write("a.bin", std::string(600000, 'a'));
    m->Attachments().Add(path);
    bool changed = false;
    smtp->OnPacketSent = [&](TObject*) {
      if (!std::exchange(changed, true)) c.change(path);
    };
    smtp->Connect();
    try {
      smtp->SendMail();
      ADD_FAILURE() << c.name << ": sent";
    } catch (const EFileChanged& e) {
      EXPECT_EQ(e.Message(),
                "The message was not sent: the file " + path + " changed while it was sent (" + c.how + ")")
          << c.name;
      EXPECT_TRUE(IsTransientFailure(*smtp, e)) << c.name << ": the file may be whole later";
    }
    EXPECT_EQ(smtp->Progress(), TSendProgress::kEndNotSent) << c.name;
    EXPECT_FALSE(smtp->Connected) << c.name;
    const std::string received = Transcript();
    EXPECT_GT(received.size(), kEnvelope.size() + 65536) << c.name << ": the data had begun";
    EXPECT_EQ(received.find("\r\n.\r\n"), std::string::npos) << c.name;
  }
}

// Which failures of a send may pass when the whole job is run again, and
// that none of them leaves the server with a message it may deliver: every
// way a send can end.
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
      {"the only recipient 450, DATA taken all the same: a lone \".\", and a retry may pass",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "450 greylisted"}, {"DATA", "354 go"},
                        {".", "250 nothing"}}),
       true},
      {"the only recipient 550, DATA 554",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "550 no such user"}, {"DATA", "554 nobody"}}),
       false},
      {"all or nothing: a recipient 450",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "250 ok"}, {"RCPT TO:<t@x>", "450 busy"},
                        {"RSET", "250 reset"}}),
       true, TSendProgress::kEndNotSent, {"t@x"}, true},
      {"all or nothing: the server takes fewer recipients than there are",
       Script(Exchanges{sender[0], sender[1], sender[2], {"RCPT TO:<r@x>", "250 ok"},
                        {"RCPT TO:<t@x>", "452 4.5.3 Too many recipients"}, {"RSET", "250 reset"}}),
       false, TSendProgress::kEndNotSent, {"t@x"}, true},
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
  testserver::TlsScriptedServer tls({StartTls(), Drain()}, testserver::Certificate::kSelfSigned);
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
