// TTidewire's transfers against the scripted server: lines, replies,
// buffers, streams, cancel and time-out, and the limits of the buffer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "core/Stream.h"
#include "net/NetTestSupport.h"
#include "support/ScriptedServer.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using namespace testserver;

TEST(TidewireReadLn, LinesAsTheyArrive) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    std::vector<std::string> lines;  // one ReadLn each
  };
  const Case cases[] = {
      {"greeting in two packets", {SendFragments({"220 re", "ady\r\n"}, 100), Drain()}, {"220 ready\r\n"}},
      {"two lines in one packet", {Send("250-first\r\n250 second\r\n"), Drain()}, {"250-first\r\n", "250 second\r\n"}},
      {"bare line feed", {Send("220 bare\n"), Drain()}, {"220 bare\n"}},
      {"line feed alone", {Send("\n"), Drain()}, {"\n"}},
      {"many fragments", {SendFragments({"2", "2", "0", " ", "x", "\r", "\n"}, 10), Drain()}, {"220 x\r\n"}},
      {"line after a pause", {Wait(150), Send("220 late\r\n"), Drain()}, {"220 late\r\n"}},
      {"peer closes after the line", {Send("221 bye\r\n"), Close()}, {"221 bye\r\n", ""}},
      {"peer closes during a line", {Send("220 parti"), Close()}, {""}},
      {"partial line, then the rest and a close",
       {SendFragments({"220 partial ", "line\r\n"}, 50), Close()},
       {"220 partial line\r\n", ""}},
      {"zero byte inside a line", {Send(std::string("25\0 x\r\n", 7)), Drain()}, {std::string("25\0 x\r\n", 7)}},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    std::vector<std::string> lines;
    for (size_t i = 0; i < c.lines.size(); ++i) {
      std::string line = "stale";
      wire.ReadLn(line);
      lines.push_back(line);
    }
    EXPECT_EQ(lines, c.lines) << c.name;
  }
}

TEST(TidewireReadLn, SecondOfTwoLinesNeedsNoNetwork) {
  ScriptedServer server({Send("250-a\r\n250 b\r\n"), Stall()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  std::string line;
  wire.ReadLn(line);
  EXPECT_TRUE(wire.DataAvailable());
  wire.ReadLn(line);
  EXPECT_EQ(line, "250 b\r\n");
  EXPECT_FALSE(wire.DataAvailable());
}

// A socket closed and replaced under a running ReadLn (by a handler, or by
// the close notification) answers "not connected": the read ends with an
// empty line, as after a close by the peer.
TEST(TidewireReadLn, NotConnectedEndsWithAnEmptyLine) {
  {
    TestTidewire wire(nullptr);
    std::string line = "stale";
    wire.ReadLn(line);
    EXPECT_EQ(line, "");
  }
  {
    ScriptedServer server({Send("220 parti"), Stall()});
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    TThreadTimer closer(nullptr);
    closer.SetInterval(100);
    closer.SetOnTimer([&](TObject*) {
      closer.SetEnabled(false);
      wire.Disconnect();
    });
    std::string line = "stale";
    wire.ReadLn(line);
    EXPECT_EQ(line, "");
    EXPECT_FALSE(wire.Connected);
  }
}

TEST(TidewireReadLn, LineLengthLimit) {
  const std::string longest(kIoBufferData - 2, 'a');  // with CR LF exactly the buffer
  {
    ScriptedServer server({Send(longest + "\r\n"), Drain()});
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    std::string line;
    wire.ReadLn(line);
    EXPECT_EQ(line, longest + "\r\n");
  }
  {
    ScriptedServer server({Send(std::string(kIoBufferData, 'b') + "\r\n"), Drain()});
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    std::string line;
    try {
      wire.ReadLn(line);
      FAIL() << "a line beyond the buffer was taken";
    } catch (const ESockError& e) {
      EXPECT_EQ(e.Message(), "Socket readln line too long");
    }
    EXPECT_FALSE(wire.Timer->Enabled());
  }
}

TEST(TidewireReadLn, CancelFromAHandlerLeavesTheLineWaiting) {
  ScriptedServer server({Send("220 waiting\r\n"), Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  PumpUntil([&] { return wire.DataAvailable(); });
  wire.ReportLevel = 8;
  wire.OnStatus = [&](TObject*, const std::string& status) {
    if (status == "ReadLn") wire.Cancel();
  };
  std::string line;
  try {
    wire.ReadLn(line);
    FAIL() << "not aborted";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "Socket readln aborted");
  }
  EXPECT_FALSE(wire.Canceled);
  wire.OnStatus = nullptr;
  wire.ReadLn(line);
  EXPECT_EQ(line, "220 waiting\r\n");
}

TEST(TidewireReadLn, CancelFromAMessageHandlerDuringTheWait) {
  ScriptedServer server({Stall()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  TThreadTimer other(nullptr);
  other.SetInterval(100);
  other.SetOnTimer([&](TObject*) { wire.Abort(); });
  std::string line;
  EXPECT_THROW(wire.ReadLn(line), EAbortError);
  EXPECT_FALSE(wire.TimedOut);
  EXPECT_FALSE(wire.Canceled);
}

TEST(TidewireReadLn, TimeOutFromTheTimer) {
  ScriptedServer server({Stall()});
  TestTidewire wire(nullptr);
  EventLog log;
  ConnectTo(wire, server.Port());
  log.Attach(wire);
  wire.ReportLevel = 8;
  wire.TimeOut = 150;
  std::string line = "stale";
  try {
    wire.ReadLn(line);
    FAIL() << "no time-out";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "Socket readln aborted");
  }
  EXPECT_TRUE(wire.TimedOut);
  EXPECT_FALSE(wire.Canceled);
  EXPECT_FALSE(wire.Timer->Armed());
  EXPECT_THAT(log.entries, ElementsAre("ReadLn", "Timer On", "Timer Triggered", "Timer Off", "Abort", "Canceling",
                                       "Timer Off"));
}

TEST(TidewireReadLn, NegativeTimeOutIsARangeError) {
  ScriptedServer server({Send("220 x\r\n"), Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  wire.TimeOut = -1;
  std::string line;
  EXPECT_THROW(wire.ReadLn(line), ERangeError);
}

TEST(TidewireTransaction, ReplyCodes) {
  struct Case {
    const char* name;
    const char* reply;
    std::int16_t number;
    bool rangeError;
  };
  const Case cases[] = {
      {"plain", "250 OK\r\n", 250, false},
      {"continuation", "250-SIZE 1000\r\n", 250, false},
      {"no digits", "+OK\r\n", 0, false},
      {"code alone", "354\r\n", 354, false},
      {"largest 16-bit", "32767 x\r\n", 32767, false},
      {"beyond 16 bits", "32768 x\r\n", 0, true},
      {"ten digits beyond 32 bits", "9999999999\r\n", 0, false},
      {"digits after ten ignored", "00000000025\r\n", 2, false},
      {"peer closed", "", 0, false},
  };
  for (const Case& c : cases) {
    ScriptedServer server({ExpectLine("NOOP"), Send(c.reply), Close()});
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    std::string reply = "stale";
    if (c.rangeError) {
      EXPECT_THROW(wire.Transaction("NOOP", reply), ERangeError) << c.name;
    } else {
      wire.Transaction("NOOP", reply);
      EXPECT_EQ(reply, c.reply) << c.name;
    }
    EXPECT_EQ(wire.LastReply, c.reply) << c.name;
    EXPECT_EQ(wire.ReplyNumber, c.number) << c.name;
    wire.Disconnect();
    server.Join();
    EXPECT_EQ(server.Received(), "NOOP\r\n") << c.name;
  }
}

TEST(TidewireWrite, WritelnSendsTheLineInOneBuffer) {
  ScriptedServer server({ExpectLine("QUIT"), Send("221 bye\r\n"), Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  EventLog log;
  log.Attach(wire);
  wire.ReportLevel = 8;
  wire.Writeln("QUIT");
  std::string line;
  wire.ReadLn(line);
  wire.Disconnect();
  server.Join();
  EXPECT_EQ(server.Received(), "QUIT\r\n");
  EXPECT_EQ(log.Count("Sending Buffer"), 1);
  EXPECT_THAT(server.Failures(), IsEmpty());
}

TEST(TidewireWrite, TextLimits) {
  struct Case {
    const char* name;
    std::string text;
    std::string sent;  // empty with rangeError: nothing
    bool rangeError;
  };
  const Case cases[] = {
      {"cut at zero", std::string("HELO x\0junk", 11), "HELO x", false},
      {"empty text", "", "", false},
      {"largest", std::string(65535, 'w'), std::string(65535, 'w'), false},
      {"one byte too many", std::string(65536, 'w'), "", true},
      {"far too many, zero late", std::string(70000, 'w') + std::string(1, '\0'), "", true},
  };
  for (const Case& c : cases) {
    ScriptedServer server({Drain()});
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    if (c.rangeError) {
      EXPECT_THROW(wire.Write(c.text), ERangeError) << c.name;
    } else {
      EXPECT_NO_THROW(wire.Write(c.text)) << c.name;
    }
    EXPECT_FALSE(wire.Timer->Enabled()) << c.name;
    ServerReceives(server, static_cast<std::int64_t>(c.sent.size()));
    wire.Disconnect();
    server.Join();
    EXPECT_EQ(server.Received(), c.sent) << c.name;
  }
}

TEST(TidewireWrite, CanceledSendSendsNothing) {
  ScriptedServer server({Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  wire.Cancel();
  try {
    wire.Writeln("RSET");
    FAIL() << "not aborted";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "Socket send aborted");
  }
  EXPECT_FALSE(wire.Canceled);
  wire.Writeln("NOOP");
  ServerReceives(server, 6);
  wire.Disconnect();
  server.Join();
  EXPECT_EQ(server.Received(), "NOOP\r\n");
}

TEST(TidewireSendStream, LargeStreamArrivesWhole) {
  // Several megabytes make the sends meet a full socket and wait for room.
  std::string block;
  for (int i = 0; block.size() < 4 * 1024 * 1024; ++i) block += "line " + std::to_string(i) + "\r\n";
  ScriptedServer server({Drain()}, ServerOptions{1, std::chrono::milliseconds(20000)});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  TMemoryStream stream;
  stream.WriteBuffer(block.data(), static_cast<std::int64_t>(block.size()));
  int packets = 0;
  wire.OnPacketSent = [&](TObject*) { ++packets; };
  std::vector<std::string> progress;  // every send call's, with no interval
  wire.ProgressInterval = 0;
  wire.OnProgress = [&](const std::string& text) { progress.push_back(text); };
  wire.SendStream(stream);
  EXPECT_EQ(wire.BytesSent, static_cast<std::int64_t>(block.size()));
  EXPECT_EQ(wire.BytesTotal, static_cast<std::int64_t>(block.size()));
  EXPECT_GE(packets, static_cast<int>(block.size() / kIoBufferData));
  ASSERT_EQ(progress.size(), static_cast<size_t>(packets));
  EXPECT_EQ(progress.back(), "sending the message: 100% (4.0 of 4.0 MB)");
  EXPECT_TRUE(ServerReceives(server, static_cast<std::int64_t>(block.size())));
  wire.Disconnect();
  server.Join();
  EXPECT_TRUE(server.Received() == block) << "received " << server.Received().size() << " of " << block.size();
}

TEST(TidewireSendStream, EmptyStreamSendsNothing) {
  ScriptedServer server({Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  TMemoryStream stream;
  int packets = 0;
  wire.OnPacketSent = [&](TObject*) { ++packets; };
  wire.SendStream(stream);
  EXPECT_EQ(wire.BytesSent, 0);
  EXPECT_EQ(wire.BytesTotal, 0);
  EXPECT_EQ(packets, 0);
  wire.Writeln(".");
  ServerReceives(server, 3);
  wire.Disconnect();
  server.Join();
  EXPECT_EQ(server.Received(), ".\r\n");
}

TEST(TidewireSendStream, SendsFromTheStartWhateverThePosition) {
  ScriptedServer server({Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  TMemoryStream stream;
  stream.WriteBuffer("body text\r\n", 11);  // position now at the end
  wire.SendStream(stream);
  ServerReceives(server, 11);
  wire.Disconnect();
  server.Join();
  EXPECT_EQ(server.Received(), "body text\r\n");
}

TEST(TidewireSendStream, CancelFromProgressHandler) {
  ScriptedServer server({Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  TMemoryStream stream;
  const std::string body(3 * kIoBufferData, 'x');
  stream.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
  wire.OnPacketSent = [&](TObject*) { wire.Abort(); };
  try {
    wire.SendStream(stream);
    FAIL() << "not aborted";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "Socket send aborted");
  }
  EXPECT_FALSE(wire.Canceled);
  EXPECT_GT(wire.BytesSent, 0);
  EXPECT_LE(wire.BytesSent, kIoBufferData);
  ServerReceives(server, wire.BytesSent);
  PumpFor(50);  // nothing more may arrive
  wire.Disconnect();
  server.Join();
  EXPECT_EQ(server.Received().size(), static_cast<size_t>(wire.BytesSent));
}

TEST(TidewireSendStream, NotConnectedRaisesTheErrorText) {
  TestTidewire wire(nullptr);
  TMemoryStream stream;
  stream.WriteBuffer("x", 1);
  try {
    wire.SendStream(stream);
    FAIL() << "sent without a connection";
  } catch (const EAbortError&) {
    FAIL() << "an abort instead of the socket error";
  } catch (const ESockError& e) {
    // 10057 on Windows, 10054 where the system reports a broken pipe.
    EXPECT_TRUE(wire.LastError == 10057 || wire.LastError == 10054) << wire.LastError;
    EXPECT_EQ(e.Message(), SocketErrorMessage(static_cast<std::uint16_t>(wire.LastError)));
  }
  EXPECT_EQ(wire.BytesSent, 0);
}

// A peer that takes nothing more: with TimeSends a send that makes no
// progress for TimeOut ends as a time-out; without it the send goes on
// waiting (as sends always did) until something else ends it.
TEST(TidewireSendStream, StalledPeer) {
  constexpr int kTimeOut = 300;
  constexpr int kHangGuard = 20000;  // far beyond any of the waits, also on a loaded machine
  struct Case {
    const char* name;
    bool timeSends;
    int otherAbort;  // milliseconds; behind a timed send only a guard against a hang
  };
  const Case cases[] = {{"sends timed", true, kHangGuard}, {"sends untimed", false, 1000}};
  const std::string body(32 << 20, 'x');  // beyond what loopback's socket buffers hold
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({Stall()}, ServerOptions{1, std::chrono::milliseconds(2 * kHangGuard)});
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    wire.TimeOut = kTimeOut;
    wire.TimeSends = c.timeSends;
    TMemoryStream stream;
    stream.WriteBuffer(body.data(), static_cast<std::int64_t>(body.size()));
    TThreadTimer other(nullptr);
    other.SetInterval(c.otherAbort);
    other.SetOnTimer([&](TObject*) { wire.Abort(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(wire.SendStream(stream), EAbortError);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(wire.TimedOut, c.timeSends);
    EXPECT_GE(waited, std::chrono::milliseconds(c.timeSends ? kTimeOut : c.otherAbort));
    EXPECT_LT(waited, std::chrono::milliseconds(kHangGuard));
    EXPECT_LT(wire.BytesSent, static_cast<std::int32_t>(body.size()));
    if (c.timeSends) {
      // The buffers are full: a block written now goes nowhere either.
      other.SetEnabled(false);
      EXPECT_THROW(wire.Write(std::string(65535, 'w')), EAbortError);
      EXPECT_TRUE(wire.TimedOut);
    }
    server.Stop();
  }
}

TEST(TidewireTrace, ConnectionLinesAndDataInOrder) {
  struct Case {
    const char* name;
    std::string secret;     // joins Secrets before the exchange
    size_t secretFrom;      // the command's secret part (npos: a plain Writeln)
    const char* sent;       // how the command shows
    const char* firstLine;  // how the reply's first line shows
  };
  // Longer than the reply, which takes the buffer's front when it comes.
  const std::string command = "EHLO secret-name.example.test";
  const Case cases[] = {
      {"plain", "", std::string::npos, "EHLO secret-name.example.test", "250-example"},
      {"the secret part of a command masked, the reply shown", "", 5, "EHLO ***", "250-example"},
      {"a secret masked wherever it shows", "example", std::string::npos, "EHLO secret-name.***.test", "250-***"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({ExpectLine(command), Send("250-example\r\n250 b\n"), Drain()});
    TestTidewire wire(nullptr);
    std::vector<std::string> events;
    wire.OnTrace = [&](TObject* sender, const TTraceEvent& e) {
      EXPECT_EQ(sender, &wire);
      events.push_back(std::to_string(static_cast<int>(e.Kind)) + " " + std::string(e.Text) + " " +
                       std::to_string(e.Bytes));
    };
    ConnectTo(wire, server.Port());
    wire.Secrets.Add(c.secret);
    std::string line;
    if (c.secretFrom == std::string::npos) {
      wire.Writeln(command);
      wire.ReadLn(line);
    } else {
      wire.SecretTransaction(command, c.secretFrom, line);
      // No copy of the line stays in the buffer it went out through.
      EXPECT_EQ(std::string_view(wire.IoBuffer, sizeof wire.IoBuffer).find(".test\r\n"), std::string_view::npos);
    }
    wire.ReadLn(line);
    wire.Write("Subject: x\r\n");
    TMemoryStream stream;
    stream.WriteBuffer("body\r\n", 6);
    wire.SendStream(stream);
    ServerReceives(server, static_cast<std::int64_t>(command.size()) + 2 + 12 + 6);
    wire.Disconnect();
    EXPECT_THAT(events, ElementsAre("0 127.0.0.1:" + std::to_string(server.Port()) + " 0",
                                    std::string("2 ") + c.sent + " 0", std::string("3 ") + c.firstLine + " 0",
                                    "3 250 b 0", "4  12", "4  6", "5  0"));
  }
}

TEST(TidewireInput, ClearInputDiscardsWhatWaits) {
  ScriptedServer server({Send("junk without end"), Wait(100), Send("250 next\r\n"), Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  EXPECT_TRUE(PumpUntil([&] { return wire.DataAvailable(); }));
  wire.ClearInput();
  std::string line;
  wire.ReadLn(line);
  EXPECT_EQ(line, "250 next\r\n");
}

}  // namespace
