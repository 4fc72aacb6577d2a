// The SMTP dialogue against the scripted loopback server: whole transcripts,
// events in their places, handler-driven retries, recipients and replies of
// several lines.

#include "smtp/DialogueFixture.h"

#include <regex>

namespace {

using namespace smtptest;

// --- Whole transcripts -----------------------------------------------------

struct TranscriptCase {
  const char* name;
  std::function<void(TQxSMTP&, const TempDir&)> setup;
  std::string data;  // what follows "DATA" up to the closing "."
};

TEST_F(Dialogue, TranscriptsAreExact) {
  const Lines plainHeader{"From: <s@x>", "To: r@x", "Subject: Hi", "MIME-Version: 1.0",
                          "Content-Type: text/plain; charset=us-ascii"};
  const Lines mixedHeader{"From: <s@x>", "To: r@x", "Subject: Hi", "MIME-Version: 1.0",
                          "Content-Type: multipart/mixed; boundary=\"" + kBoundary + "\""};
  const std::string textPart = "--" + kBoundary + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nHello\r\n";
  const std::string closing = "--" + kBoundary + "--\r\n";
  auto attach = [](std::vector<std::pair<std::string, std::string>> files) {
    return [files](TQxSMTP& s, const TempDir& d) {
      s.PostMessage().Body().Add("Hello");
      for (const auto& [name, content] : files) s.PostMessage().Attachments().Add(d.Write(name, content));
    };
  };
  const TranscriptCase cases[] = {
      {"single-part", [](TQxSMTP& s, const TempDir&) { s.PostMessage().Body().SetText("Hello\nWorld"); },
       Block(plainHeader) + "Hello\r\nWorld\r\n"},
      {"header only", [](TQxSMTP&, const TempDir&) {}, Block(plainHeader)},
      {"dot-stuffing", [](TQxSMTP& s, const TempDir&) { s.PostMessage().Body().SetText(".\n..\n.x\na.b\n"); },
       Block(plainHeader) + "..\r\n...\r\n..x\r\na.b\r\n"},
      {"body entry with line breaks is sent as stuffed lines",
       [](TQxSMTP& s, const TempDir&) { s.PostMessage().Body().Add("x\r\n.\r\nMAIL FROM:<evil@x>"); },
       Block(plainHeader) + "x\r\n..\r\nMAIL FROM:<evil@x>\r\n"},
      {"one attachment", attach({{"a.bin", "abc"}}), Block(mixedHeader) + textPart + Part("a.bin", "YWJj\r\n") + closing},
      {"two attachments", attach({{"a.bin", "abc"}, {"b.bin", "ab"}}),
       Block(mixedHeader) + textPart + Part("a.bin", "YWJj\r\n") + Part("b.bin", "YWI=\r\n") + closing},
      {"zero-byte attachment", attach({{"empty.bin", ""}}),
       Block(mixedHeader) + textPart + Part("empty.bin", "") + closing},
      {"46-byte attachment", attach({{"46.bin", std::string(46, 'a')}}),
       Block(mixedHeader) + textPart +
           Part("46.bin", "YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh\r\nYQ==\r\n") + closing},
      {"html", [](TQxSMTP& s, const TempDir&) {
         s.SubType = mtHtml;
         s.PostMessage().Body().Add("<p>Hello</p>");
       },
       Block({"From: <s@x>", "To: r@x", "Subject: Hi", "MIME-Version: 1.0", "Content-Type: text/html; charset=us-ascii"}) +
           "<p>Hello</p>\r\n"},
      {"html with an attachment goes as a plain text part",
       [attach](TQxSMTP& s, const TempDir& d) {
         s.SubType = mtHtml;
         attach({{"a.bin", "abc"}})(s, d);
       },
       Block(mixedHeader) + textPart + Part("a.bin", "YWJj\r\n") + closing},
      {"lines added by OnSendStart go last",
       [](TQxSMTP& s, const TempDir&) {
         s.FinalHeader().Add("X-Before: composition drops this");
         s.OnSendStart = [&s](TObject* sender) {
           EXPECT_EQ(sender, &s);
           s.FinalHeader().Add("Disposition-Notification-To:<s@x>");
           s.FinalHeader().Add(".");  // stuffed like any line of the data
         };
       },
       Block({"From: <s@x>", "To: r@x", "Subject: Hi", "MIME-Version: 1.0",
              "Content-Type: text/plain; charset=us-ascii", "Disposition-Notification-To:<s@x>", ".."})},
  };
  for (const TranscriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(Script(Accepting()));
    TQxSMTP s(nullptr);
    s.Host = "127.0.0.1";
    s.TimeOut = 5000;
    s.Port = server.Port();
    s.UserID = "x";
    s.PostMessage().FromAddress = "s@x";
    s.PostMessage().ToAddress().Add("r@x");
    s.PostMessage().Subject = "Hi";
    c.setup(s, dir);
    s.Connect();
    s.SendMail();
    s.Disconnect();
    server.Join();
    EXPECT_THAT(server.Failures(), IsEmpty());
    EXPECT_EQ(boundaries::Numbered(server.Received()), kEnvelope + c.data + ".\r\nQUIT\r\n");
  }
}

// 8-bit text goes as it is only to a server that said it takes it.
TEST_F(Dialogue, EightBitTextFollowsTheServersExtensions) {
  const Lines header{"From: <s@x>", "To: r@x", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"};
  const std::string eightBitData =
      Block({header[0], header[1], header[2], header[3], "Content-Transfer-Encoding: 8bit"}) + "caf\xE9\r\n";
  const struct {
    const char* name;
    std::string ehloReply;
    std::string body;
    std::string mailFrom;
    std::string data;
  } cases[] = {
      {"8BITMIME announced: BODY=8BITMIME, the text labelled 8bit", "250-hi\r\n250-8BITMIME\r\n250 AUTH PLAIN",
       "caf\xE9", "MAIL FROM:<s@x> BODY=8BITMIME", eightBitData},
      {"BODY comes before SIZE", "250-hi\r\n250-8BITMIME\r\n250-SIZE\r\n250 AUTH PLAIN", "caf\xE9",
       "MAIL FROM:<s@x> BODY=8BITMIME SIZE=" + std::to_string(eightBitData.size()), eightBitData},
      {"8BITMIME not announced: quoted-printable", "250-hi\r\n250 AUTH PLAIN", "caf\xE9", "MAIL FROM:<s@x>",
       Block({header[0], header[1], header[2], header[3], "Content-Transfer-Encoding: quoted-printable"}) +
           "caf=E9\r\n"},
      {"ASCII text needs neither", "250-hi\r\n250-8BITMIME\r\n250 AUTH PLAIN", "cafe", "MAIL FROM:<s@x>",
       Block(header) + "cafe\r\n"},
      {"a long line goes quoted-printable whatever the server takes",
       "250-hi\r\n250-8BITMIME\r\n250 AUTH PLAIN", std::string(75, '\xE9') + "x" + std::string(924, 'y'),
       "MAIL FROM:<s@x>",
       Block({header[0], header[1], header[2], header[3], "Content-Transfer-Encoding: quoted-printable"}) + [] {
         std::string text;
         for (int i = 0; i < 75; ++i) text += (i > 0 && i % 25 == 0 ? "=\r\n=E9" : "=E9");
         text += "=\r\n";
         text += "x" + std::string(74, 'y');
         for (int i = 0; i < 11; ++i) text += "=\r\n" + std::string(75, 'y');
         return text + "=\r\n" + std::string(25, 'y') + "\r\n";
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Serve(Script({{"EHLO x", c.ehloReply},
                  {"AUTH PLAIN AHUAcA==", "235 ok"},
                  {"RSET", "250 ok"},
                  {c.mailFrom, "250 ok"},
                  {"RCPT TO:<r@x>", "250 ok"},
                  {"DATA", "354 go"},
                  {".", "250 queued"},
                  {"QUIT", "221 bye"}}));
    smtp->LoginName = "u";
    smtp->Password = "p";
    smtp->Encryption = ecNone;
    m->Body().Add(c.body);
    smtp->Connect();
    smtp->SendMail();
    smtp->Disconnect();
    EXPECT_EQ(Transcript(), "EHLO x\r\nAUTH PLAIN AHUAcA==\r\nRSET\r\n" + c.mailFrom + "\r\nRCPT TO:<r@x>\r\nDATA\r\n" +
                                c.data + ".\r\nQUIT\r\n");
  }
}

// Servers refuse a HELO without a name: the machine's own goes, as for EHLO.
TEST_F(Dialogue, EmptyUserIdSendsHeloWithTheMachinesName) {
  Serve(Script({{"HELO *", "250 hello"}, {"QUIT", "221 bye"}}));
  smtp->UserID = "";
  std::vector<std::string> notes;
  smtp->OnNote = [&](const std::string& note) { notes.push_back(note); };
  smtp->Connect();
  smtp->Disconnect();
  const std::string transcript = Transcript();
  std::smatch sent;
  ASSERT_TRUE(std::regex_match(transcript, sent,
                               std::regex(R"(HELO (\[127\.0\.0\.1\]|[-A-Za-z0-9]+(\.[-A-Za-z0-9]+)+)\r\nQUIT\r\n)")))
      << transcript;
  EXPECT_THAT(notes, testing::ElementsAre("no name for HELO given: this machine's name " + sent[1].str() +
                                          " goes instead"));
}

// --- Events in their places ------------------------------------------------

TEST_F(Dialogue, EventsFireInOrderAndSuccessSeesClearedLists) {
  m->Body().Add("Hello");
  m->Subject = "Hi";
  m->ToCarbonCopy().Add("c@x");
  m->ToBlindCarbonCopy().Add("b@x");
  m->Attachments().Add(dir.Write("a.bin", "abc"));
  std::vector<std::string> events;
  smtp->OnConnect = [&](TObject*) { events.push_back(smtp->Busy() ? "connect while busy" : "connect"); };
  smtp->OnEncodeStart = [&](const std::string&) { events.push_back("encode start"); };
  smtp->OnEncodeEnd = [&](const std::string&) { events.push_back("encode end"); };
  smtp->OnSendStart = [&](TObject*) { events.push_back(smtp->Busy() ? "send start" : "send start, not busy"); };
  smtp->OnPacketSent = [&](TObject*) {
    if (events.back() != "packet") events.push_back("packet");
  };
  smtp->OnSuccess = [&](TObject*) {
    events.push_back(smtp->Busy() ? "success while busy" : "success");
    EXPECT_EQ(m->ToAddress().Count() + m->ToCarbonCopy().Count() + m->ToBlindCarbonCopy().Count(), 0);
    EXPECT_EQ(m->Attachments().Count(), 0);
    EXPECT_EQ(m->Body().Items(), Lines{"Hello"});
    EXPECT_EQ(m->Subject, "Hi");
    EXPECT_EQ(m->FromAddress, "s@x");
  };
  Serve(Script({{"HELO x", "250 hello"},
                {"RSET", "250 reset"},
                {"MAIL FROM:<s@x>", "250 ok"},
                {"RCPT TO:<r@x>", "250 ok"},
                {"RCPT TO:<c@x>", "250 ok"},
                {"RCPT TO:<b@x>", "250 ok"},
                {"DATA", "354 go"},
                {".", "250 queued"},
                {"QUIT", "221 bye"}}));
  smtp->Connect();
  smtp->SendMail();
  EXPECT_EQ(events, (Lines{"connect", "encode start", "encode end", "send start", "packet", "success"}));

  // With nothing left to send to, the next send runs into the missing
  // recipients and sends nothing.
  int hiType = 0;
  smtp->OnHeaderIncomplete = [&](bool&, int type) { hiType = type; };
  EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "Incomplete Header");
  EXPECT_EQ(hiType, kHeaderMissingRecipient);
  smtp->Disconnect();
  EXPECT_FALSE(smtp->Connected);
  const std::string received = Transcript();
  EXPECT_EQ(received.substr(received.size() - 9), ".\r\nQUIT\r\n");
}

TEST_F(Dialogue, WithoutClearParamsTheSameMessageGoesAgain) {
  Serve(Script(Accepting({{"RSET", "250 reset"},
                          {"MAIL FROM:<s@x>", "250 ok"},
                          {"RCPT TO:<r@x>", "250 ok"},
                          {"DATA", "354 go"},
                          {".", "250 queued"},
                          {"QUIT", "221 bye"}})));
  smtp->ClearParams = false;
  m->Attachments().Add(dir.Write("a.bin", "abc"));
  int successes = 0;
  // OnSuccess runs after the busy flag was released, so it may send again.
  smtp->OnSuccess = [&](TObject*) {
    if (++successes == 1) smtp->SendMail();
  };
  smtp->Connect();
  smtp->SendMail();
  smtp->Disconnect();
  EXPECT_EQ(successes, 2);
  EXPECT_EQ(m->ToAddress().Items(), Lines{"r@x"});
  EXPECT_EQ(m->Attachments().Count(), 1);
  auto transaction = [](const std::string& boundary) {
    return "RSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<r@x>\r\nDATA\r\n" +
           Block({"From: <s@x>", "To: r@x", "MIME-Version: 1.0",
                  "Content-Type: multipart/mixed; boundary=\"" + boundary + "\""}) +
           "--" + boundary + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" +
           Part("a.bin", "YWJj\r\n", boundary) + "--" + boundary + "--\r\n.\r\n";
  };
  // Each message draws its own boundary.
  EXPECT_EQ(Transcript(), "HELO x\r\n" + transaction(kBoundary) + transaction(boundaries::Placeholder(2)) + "QUIT\r\n");
}

TEST_F(Dialogue, SameComponentSendsAgainOverANewConnection) {
  // After Disconnect the component holds a fresh socket; nothing of the old
  // connection (its close included) may reach the new one.
  smtp->ClearParams = false;
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    Serve(Script(Accepting()));
    smtp->Connect();
    smtp->SendMail();
    smtp->Disconnect();
    EXPECT_EQ(Transcript(), kEnvelope + Block({"From: <s@x>", "To: r@x", "MIME-Version: 1.0",
                                               "Content-Type: text/plain; charset=us-ascii"}) +
                                ".\r\nQUIT\r\n");
  }
}

// --- Handler-driven retries -------------------------------------------------

TEST_F(Dialogue, AuthenticationHandlerGetsOneRetry) {
  struct Case {
    const char* name;
    std::string secondReply;
    bool setHandled;
    std::string error;
    std::string transcript;
  };
  const Case cases[] = {
      {"retry accepted", "250 hello y", true, "", "HELO x\r\nHELO y\r\nQUIT\r\n"},
      {"retry refused: no second call", "502 still no", true, "Authentication failed",
       "HELO x\r\nHELO y\r\nQUIT\r\n"},
      {"handler declines", "", false, "Authentication failed", "HELO x\r\nQUIT\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Exchanges exchanges{{"HELO x", "501 who are you"}};
    if (c.setHandled) exchanges.push_back({"HELO y", c.secondReply});
    exchanges.push_back({"QUIT", "221 bye"});
    Serve(Script(exchanges));
    smtp->UserID = "x";
    int calls = 0;
    bool connected = false;
    smtp->OnAuthenticationFailed = [&](bool& handled) {
      ++calls;
      EXPECT_FALSE(handled);
      smtp->UserID = "y";
      handled = c.setHandled;
    };
    smtp->OnConnect = [&](TObject*) { connected = true; };
    EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), c.error);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(connected, c.error.empty());
    EXPECT_FALSE(smtp->Busy());
    if (c.error.empty()) {
      EXPECT_TRUE(smtp->Connected);
      smtp->Disconnect();
    }
    EXPECT_FALSE(smtp->Connected);
    EXPECT_EQ(Transcript(), c.transcript);
  }
}

TEST_F(Dialogue, IncompleteHeaderHandlerSuppliesTheEnvelopeOnly) {
  struct Case {
    const char* name;
    std::function<void(TPostMessage&)> empty;   // what is missing
    std::function<void(TPostMessage&)> supply;  // what the handler adds
    int hiType;
    std::string envelope;
    Lines header;
  };
  const Case cases[] = {
      {"sender supplied", [](TPostMessage& p) { p.FromAddress.clear(); },
       [](TPostMessage& p) { p.FromAddress = "late@x"; }, kHeaderMissingSender,
       "RSET\r\nMAIL FROM:<late@x>\r\nRCPT TO:<r@x>\r\nDATA\r\n",
       {"From: <>", "To: r@x", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}},
      {"recipient supplied", [](TPostMessage& p) { p.ToAddress().Clear(); },
       [](TPostMessage& p) { p.ToCarbonCopy().Add("late@x"); }, kHeaderMissingRecipient,
       "RSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<late@x>\r\nDATA\r\n",
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Serve(Script({{"HELO x", "250 hello"},
                  {"RSET", "250 ok"},
                  {"MAIL FROM:*", "250 ok"},
                  {"RCPT TO:*", "250 ok"},
                  {"DATA", "354 go"},
                  {".", "250 queued"},
                  {"QUIT", "221 bye"}}));
    TQxSMTP s(nullptr);
    s.Host = "127.0.0.1";
    s.TimeOut = 5000;
    s.Port = server->Port();
    s.UserID = "x";
    s.PostMessage().FromAddress = "s@x";
    s.PostMessage().ToAddress().Add("r@x");
    c.empty(s.PostMessage());
    std::vector<int> types;
    s.OnHeaderIncomplete = [&](bool& handled, int type) {
      types.push_back(type);
      c.supply(s.PostMessage());
      handled = true;
    };
    s.Connect();
    s.SendMail();
    s.Disconnect();
    EXPECT_EQ(types, std::vector<int>{c.hiType});
    EXPECT_EQ(Transcript(), "HELO x\r\n" + c.envelope + Block(c.header) + ".\r\nQUIT\r\n");
  }
}

TEST_F(Dialogue, IncompleteHeaderFailsWithoutSendingAnything) {
  struct Case {
    const char* name;
    bool assignHandler;
    bool handlerSetsHandled;  // but supplies nothing
    int expectedCalls;
  };
  const Case cases[] = {
      {"no handler", false, false, 0},
      {"handler declines", true, false, 1},
      {"handler claims it handled but supplies nothing: one call only", true, true, 1},
  };
  Serve(Script({{"HELO x", "250 hello"}, {"QUIT", "221 bye"}}));
  smtp->Connect();
  m->FromAddress.clear();
  for (const Case& c : cases) {
    int calls = 0;
    bool sendStart = false;
    smtp->OnHeaderIncomplete = nullptr;
    if (c.assignHandler) {
      smtp->OnHeaderIncomplete = [&](bool& handled, int type) {
        ++calls;
        EXPECT_EQ(type, kHeaderMissingSender) << c.name;
        handled = c.handlerSetsHandled;
      };
    }
    smtp->OnSendStart = [&](TObject*) { sendStart = true; };
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "Incomplete Header") << c.name;
    EXPECT_EQ(calls, c.expectedCalls) << c.name;
    EXPECT_FALSE(sendStart) << c.name;
    EXPECT_FALSE(smtp->Busy()) << c.name;
    EXPECT_EQ(smtp->FinalHeader()[0], "From: <>") << c.name << ": composed all the same";
  }
  smtp->Disconnect();
  EXPECT_EQ(Transcript(), "HELO x\r\nQUIT\r\n");
}

TEST_F(Dialogue, ConnectionRequiredHandlerMayConnect) {
  Serve(Script(Accepting()));
  int calls = 0;
  smtp->OnConnectionRequired = [&](bool& handled) {
    ++calls;
    smtp->Connect();
    handled = true;
  };
  smtp->SendMail();
  smtp->Disconnect();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(Transcript(), kEnvelope + Block({"From: <s@x>", "To: r@x", "MIME-Version: 1.0",
                                             "Content-Type: text/plain; charset=us-ascii"}) +
                              ".\r\nQUIT\r\n");
}

TEST_F(Dialogue, NotConnectedFailsAfterComposing) {
  bool composed = false;
  m->Attachments().Add(dir.Write("a.bin", "abc"));
  smtp->OnEncodeEnd = [&](const std::string&) { composed = true; };
  EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "Not Connected");
  EXPECT_TRUE(composed);
  EXPECT_FALSE(smtp->Busy());
  EXPECT_EQ(m->Attachments().Count(), 1);
}

// --- Re-entry ----------------------------------------------------------------

TEST_F(Dialogue, NestedSendMailDoesNothing) {
  Serve(Script(Accepting()));
  const std::string line(998, 'x');  // the longest line that goes as it is
  std::string text;
  for (int i = 0; i < 200; ++i) {
    m->Body().Add(line);  // several packets
    text += line + "\r\n";
  }
  int nested = 0;
  int encodes = 0;
  smtp->OnEncodeStart = [&](const std::string&) { ++encodes; };
  auto nest = [&](TObject*) {
    ++nested;
    smtp->SendMail();  // composes nothing, sends nothing, raises nothing
  };
  smtp->OnSendStart = nest;
  smtp->OnPacketSent = nest;
  smtp->Connect();
  smtp->SendMail();
  smtp->Disconnect();
  EXPECT_GE(nested, 2);
  const std::string received = Transcript();
  EXPECT_EQ(received, kEnvelope +
                          Block({"From: <s@x>", "To: r@x", "MIME-Version: 1.0",
                                 "Content-Type: text/plain; charset=us-ascii"}) +
                          text + ".\r\nQUIT\r\n");
}

// --- Recipients --------------------------------------------------------------

TEST_F(Dialogue, RecipientsAreExtractedOnceEachAndRefusalsReportTheirOwnEntry) {
  // One mailbox in several lists, its domain in another case: one RCPT TO,
  // or a server that cannot merge them (another transaction) delivers twice.
  m->ToAddress().SetText("Ann <a@x>\n\nr@x");
  m->ToCarbonCopy().SetText("Cc: c@x\nCarl <r@X>");
  m->ToBlindCarbonCopy().SetText("<b@x\nR@x");
  Serve(Script({{"HELO x", "250 hello"},
                {"RSET", "250 ok"},
                {"MAIL FROM:<s@x>", "250 ok"},
                {"RCPT TO:<a@x>", "250 ok"},
                {"RCPT TO:<r@x>", "550 no such user"},
                {"RCPT TO:<c@x>", "300 odd but accepted"},
                {"RCPT TO:<b@x>", "250 ok"},
                {"RCPT TO:<R@x>", "250 ok"},
                {"DATA", "354 go"},
                {".", "250 queued"},
                {"QUIT", "221 bye"}}));
  std::vector<std::string> refused;
  smtp->OnRecipientNotFound = [&](const std::string& entry) { refused.push_back(entry); };
  smtp->Connect();
  smtp->SendMail();
  smtp->Disconnect();
  EXPECT_EQ(refused, (Lines{"r@x"}));  // as written in its list
  const std::string received = Transcript();
  // The local part is the mailbox's own: R@x is another one.
  EXPECT_EQ(received.substr(0, received.find("DATA\r\n") + 6),
            "HELO x\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@x>\r\nRCPT TO:<r@x>\r\nRCPT TO:<c@x>\r\n"
            "RCPT TO:<b@x>\r\nRCPT TO:<R@x>\r\nDATA\r\n");
  EXPECT_NE(received.find("CC: Cc <c@x>,Carl <r@X>\r\n"), std::string::npos) << "the header names each as given";
}

TEST_F(Dialogue, AllRecipientsRefusedSendNoDataAndNoneNamedSendsNothing) {
  struct Case {
    const char* name;
    std::string entries;
    Exchanges transaction;
    std::string error;
  };
  const Case cases[] = {
      // Greylisting refuses each with 450: DATA's 554 would hide that a retry may pass.
      {"every recipient refused: no DATA", "a@x\nb@x",
       {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {"RCPT TO:<a@x>", "450 greylisted"},
        {"RCPT TO:<b@x>", "550 no"}},
       std::string(kErrNoRecipientAccepted)},
      // A lenient server would take the data for nobody, and the job would count as sent.
      {"only entries that name no mailbox: nothing sent", "\n  \n<>", {}, "Incomplete Header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Renew();
    Exchanges exchanges{{"HELO x", "250 hello"}};
    exchanges.insert(exchanges.end(), c.transaction.begin(), c.transaction.end());
    exchanges.push_back({"QUIT", "221 bye"});
    Serve(Script(exchanges));
    m->ToAddress().SetText(c.entries);
    smtp->Connect();
    EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), c.error);
    smtp->Disconnect();
    Transcript();
  }
}

// --- Replies of several lines ------------------------------------------------

TEST_F(Dialogue, GreetingAndHeloRepliesAreReadToTheirLastLine) {
  // Were a continuation line left unread, it would pass for the reply to
  // RSET, and the refusal that follows would never be seen.
  Serve({testserver::Send("220-first line\r\n220-second line\r\n220 ready\r\n"),
         testserver::ExpectLine("HELO x"),
         testserver::Send("250-hello\r\n250-SIZE 1000\r\n250 HELP\r\n"),
         testserver::ExpectLine("RSET"),
         testserver::Send("451 try later\r\n"),
         testserver::ExpectLine("QUIT"),
         testserver::Send("221 bye\r\n")});
  bool connected = false;
  smtp->OnConnect = [&](TObject*) {
    connected = true;
    EXPECT_FALSE(smtp->DataAvailable());
  };
  smtp->Connect();
  EXPECT_TRUE(connected);
  EXPECT_EQ(ErrorOf([&] { smtp->SendMail(); }), "451 try later\r\n");
  smtp->Disconnect();
  EXPECT_EQ(Transcript(), "HELO x\r\nRSET\r\nQUIT\r\n");
}

TEST_F(Dialogue, RefusedGreetingReportsItsLastLine) {
  Serve({testserver::Send("421-busy\r\n421 come back later\r\n"), testserver::ExpectLine("QUIT"),
         testserver::Send("221 bye\r\n")});
  bool connected = false;
  smtp->OnConnect = [&](TObject*) { connected = true; };
  EXPECT_EQ(ErrorOf([&] { smtp->Connect(); }), "421 come back later\r\n");
  EXPECT_FALSE(connected);
  EXPECT_FALSE(smtp->Connected);
  EXPECT_FALSE(smtp->Busy());
  EXPECT_EQ(Transcript(), "QUIT\r\n");
}

}  // namespace
