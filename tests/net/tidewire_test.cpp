// TTidewire's life cycle: construction and the counted start-up, resolving
// and connecting, closing, cancel and time-out of the connect wait, status
// levels, socket error texts and the notification window.

#include <regex>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "net/Winsock.h"
#include "net/NetTestSupport.h"
#include "platform/LoopbackPeer.h"
#include "support/ScriptedServer.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using namespace testserver;


struct Reported {
  std::uint8_t level;  // 0: an event, recorded whatever the level
  const char* text;
};

// Connect to a dotted address, one transaction, disconnect: everything that
// is reported on the way, in order.
const Reported kSessionReports[] = {
    {8, "Connecting"},   {8, "Resolve Host"},         {8, "Timer On"},       {0, "<OnConnect>"},
    {8, "Timer Off"},    {8, "Transaction"},          {8, "Writeln"},        {8, "Write"},
    {4, "Sending Buffer"}, {8, "Timer On"},           {8, "Timer Off"},      {1, "> NOOP"},
    {8, "ReadLn"},
    {8, "Timer On"},     {8, "Timer Off"},            {1, "250 ok\r\n"},     {8, "Disconnecting"},
    {4, "Request Close Socket"}, {0, "<OnDisconnect>"},
};

TEST(TidewireStatus, ReportLevelFiltersTexts) {
  const int levels[] = {-1, 0, 1, 3, 4, 7, 8, 100};
  for (int level : levels) {
    ScriptedServer server({ExpectLine("NOOP"), Send("250 ok\r\n"), Drain()});
    TestTidewire wire(nullptr);
    EventLog log;
    log.Attach(wire);
    wire.ReportLevel = level;
    ConnectTo(wire, server.Port());
    std::string reply;
    wire.Transaction("NOOP", reply);
    wire.Disconnect();
    server.Join();

    std::vector<std::string> expected;
    std::string lastStatus;
    for (const Reported& r : kSessionReports) {
      if (r.level == 0 || r.level <= level) expected.push_back(r.text);
      if (r.level != 0 && r.level <= level) lastStatus = r.text;
    }
    EXPECT_EQ(log.entries, expected) << "ReportLevel " << level;
    EXPECT_EQ(wire.LastStatus, lastStatus) << "ReportLevel " << level;
    EXPECT_EQ(server.Received(), "NOOP\r\n") << "ReportLevel " << level;
  }
}

TEST(TidewireStatus, HandlerExceptionsNeverFailTheOperation) {
  ScriptedServer server({ExpectLine("NOOP"), Send("250 ok\r\n"), Drain()});
  TestTidewire wire(nullptr);
  wire.ReportLevel = 8;
  wire.OnStatus = [](TObject*, const std::string&) { throw Exception("status handler failed"); };
  ConnectTo(wire, server.Port());
  std::string reply;
  wire.Transaction("NOOP", reply);
  EXPECT_EQ(reply, "250 ok\r\n");
  EXPECT_EQ(wire.ReplyNumber, 250);
  EXPECT_EQ(wire.LastStatus, "250 ok\r\n");
}

TEST(TidewireStatus, DestructionFiresNoStatusAndNoDisconnect) {
  EventLog log;
  {
    TestTidewire wire(nullptr);
    wire.ReportLevel = 8;
    log.Attach(wire);
  }
  EXPECT_THAT(log.entries, IsEmpty());
}

// Sending on a socket that was never connected is a real error: 10057 on
// Windows, 10054 where the system reports a broken pipe (Linux, Wine).
TEST(TidewireErrors, RealErrorFiresOnErrorThenRaisesItsText) {
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  wire.ReportLevel = 8;
  std::string raised;
  try {
    wire.Write("x");
    FAIL() << "no exception";
  } catch (const ESockError& e) {
    raised = e.Message();
  }
  EXPECT_TRUE(wire.LastError == 10057 || wire.LastError == 10054) << wire.LastError;
  const std::string expected = SocketErrorMessage(static_cast<std::uint16_t>(wire.LastError));
  EXPECT_EQ(raised, expected);
  EXPECT_THAT(log.entries, ElementsAre("Write", "Sending Buffer", "Timer On", "Looking Up Error Message",
                                       "<OnError " + std::to_string(wire.LastError) + " " + expected + ">",
                                       "Timer Off"));
}

TEST(TidewireErrors, OnErrorHandlerExceptionReplacesTheSocketError) {
  TestTidewire wire(nullptr);
  wire.OnError = [](TObject*, std::uint16_t, const std::string&) { throw Exception("handler's own"); };
  try {
    wire.Write("x");
    FAIL() << "no exception";
  } catch (const ESockError&) {
    FAIL() << "the handler's exception should have replaced the socket error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "handler's own");
  }
}

TEST(TidewireErrors, LookUpErrorMessageReportsAndTranslates) {
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  wire.ReportLevel = 8;
  std::string message = " (before)";
  wire.LookUpErrorMessage(10061, message);
  EXPECT_EQ(message, "10061:Connection refused");
  wire.LookUpErrorMessage(0, message);
  EXPECT_EQ(message, "");
  EXPECT_THAT(log.entries, ElementsAre("Looking Up Error Message (before)", "Looking Up Error Message10061:Connection refused"));
}

TEST(TidewireWinsock, UsersAreCountedAndOnlyTheFirstGetsTheInfo) {
  const std::int32_t before = WinsockUsers();
  ASSERT_EQ(before, 0) << "another component is still alive";
  auto first = std::make_unique<TestTidewire>(nullptr);
  EXPECT_EQ(WinsockUsers(), 1);
  auto second = std::make_unique<TestTidewire>(nullptr);
  EXPECT_EQ(WinsockUsers(), 2);
  ASSERT_EQ(first->WinsockInfo.Count(), 6);
  const char* prefixes[] = {"Version= ", "High Version= ", "Description= ", "System= ", "Max Sockets= ",
                            "Max Udp pack size= "};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(first->WinsockInfo[i].rfind(prefixes[i], 0), 0u) << first->WinsockInfo[i];
  EXPECT_EQ(first->WinsockInfo[0], "Version= 1.1");
  EXPECT_EQ(second->WinsockInfo.Count(), 0);
  first.reset();
  EXPECT_EQ(WinsockUsers(), 1);
  // The library still runs for the second component.
  ScriptedServer server({Send("220 still here\r\n"), Drain()});
  ConnectTo(*second, server.Port());
  std::string line;
  second->ReadLn(line);
  EXPECT_EQ(line, "220 still here\r\n");
  second.reset();
  EXPECT_EQ(WinsockUsers(), 0);
}

TEST(TidewireConnect, AddressesNeedNoLookup) {
  for (const bool ipv6 : {false, true}) {
    if (ipv6 && !IPv6Loopback()) continue;
    const char* host = ipv6 ? "::1" : "127.0.0.1";
    ScriptedServer server({Drain()}, {.ipv6 = ipv6});
    TestTidewire wire(nullptr);
    EventLog log;
    log.Attach(wire);
    wire.ReportLevel = 8;
    std::vector<std::string> traced;
    wire.OnTrace = [&](TObject*, const TTraceEvent& event) { traced.emplace_back(event.Text); };
    wire.Host = host;
    wire.Port = server.Port();
    wire.Connect();
    EXPECT_TRUE(wire.Connected) << host;
    platform::SocketAddress expected = *platform::AddressOfLiteral(host);
    expected.port = server.Port();
    EXPECT_EQ(wire.RemoteAddress, expected) << host;
    EXPECT_THAT(traced, ElementsAre((ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(server.Port())));
    EXPECT_THAT(log.entries, ElementsAre("Connecting", "Resolve Host", "Timer On", "<OnConnect>", "Timer Off"))
        << host;
  }
}

TEST(TidewireConnect, NameIsLookedUp) {
  const bool ipv6 = ResolvesToIPv6First("localhost");
  ScriptedServer server({Drain()}, {.ipv6 = ipv6});
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  wire.ReportLevel = 8;
  wire.Host = "localhost";
  wire.Port = server.Port();
  wire.Connect();
  EXPECT_TRUE(wire.Connected);
  platform::SocketAddress expected = *platform::AddressOfLiteral(ipv6 ? "::1" : "127.0.0.1");
  expected.port = server.Port();
  EXPECT_EQ(wire.RemoteAddress, expected);
  EXPECT_THAT(log.entries, ElementsAre("Connecting", "Resolve Host", "Timer On", "Timer Off", "<OnHostResolved>",
                                       "Timer On", "<OnConnect>", "Timer Off"));
}

// Points wire at port of "localhost" and has the handler of its one
// OnHostResolved stand in for the resolver: the lookup gives addresses. The
// trace goes to traced: "connected 127.0.0.1:25", "not 127.0.0.2:25: why".
void ResolveLocalhostTo(TestTidewire& wire, EventLog& log, const std::vector<const char*>& addresses,
                        std::uint16_t port, std::vector<std::string>& traced) {
  wire.OnTrace = [&traced](TObject*, const TTraceEvent& event) {
    traced.push_back((event.Kind == TTraceKind::kConnected ? "connected " : "not ") + std::string(event.Text));
  };
  wire.OnHostResolved = [&wire, &log, addresses](TObject*) {
    log.entries.push_back("<OnHostResolved>");
    wire.ResolvedAddresses.clear();
    for (const char* address : addresses) wire.ResolvedAddresses.push_back(*platform::AddressOfLiteral(address));
  };
  wire.Host = "localhost";
  wire.Port = port;
}

// The addresses of a name are tried in the resolver's order until one takes
// the connection (one that refuses lets the next start at once); each one
// that does not is traced, and only the last one's failure is raised.
TEST(TidewireConnect, EveryAddressIsTriedInTurn) {
  struct Case {
    const char* name;
    std::vector<const char*> addresses;  // nothing listens on 127.0.0.2 and 127.0.0.3
    bool serverOnIPv6;
    const char* failure;  // nullptr: connected to the last address
  };
  const Case cases[] = {
      {"the first refuses, the second takes it", {"127.0.0.2", "127.0.0.1"}, false, nullptr},
      {"every address refuses", {"127.0.0.2", "127.0.0.3"}, false,
       "Connection Failed: connection refused by 127.0.0.3 port {port} (nothing listens there)"},
      {"IPv6 refuses, IPv4 takes it", {"::1", "127.0.0.1"}, false, nullptr},
      {"IPv4 refuses, IPv6 takes it", {"127.0.0.2", "::1"}, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool needsIPv6 = c.serverOnIPv6 || std::string(c.addresses.front()) == "::1";
    if (needsIPv6 && !IPv6Loopback()) continue;
    ScriptedServer server({Drain()}, {.deadline = std::chrono::milliseconds(5000), .ipv6 = c.serverOnIPv6});
    const std::string port = std::to_string(server.Port());
    TestTidewire wire(nullptr);
    EventLog log;
    log.Attach(wire);
    std::vector<std::string> traced;
    ResolveLocalhostTo(wire, log, c.addresses, server.Port(), traced);
    std::string raised;
    try {
      wire.Connect();
    } catch (const ESockError& e) {
      raised = e.Message();
    }
    std::vector<std::string> expected;
    for (size_t i = 0; i < c.addresses.size(); ++i) {
      const std::string address = std::string(c.addresses[i]) == "::1" ? "[::1]" : c.addresses[i];
      const bool connects = i + 1 == c.addresses.size() && c.failure == nullptr;
      expected.push_back(connects ? "connected " + address + ":" + port
                                  : "not " + address + ":" + port + ": 10061:Connection refused");
    }
    EXPECT_EQ(traced, expected);
    EXPECT_EQ(raised, c.failure ? std::regex_replace(c.failure, std::regex("\\{port\\}"), port) : "");
    EXPECT_EQ(wire.Connected, c.failure == nullptr);
    EXPECT_EQ(log.Count("<OnHostResolved>"), 1);
    EXPECT_EQ(log.Count("<OnConnect>"), c.failure ? 0 : 1);
    EXPECT_EQ(log.Count("<OnConnectionFailed>"), c.failure ? 1 : 0);
    server.Stop();
  }
}

// A silent address (a listener with a full queue drops the SYNs) holds up
// neither the next address nor, when every address is silent, the connect
// beyond TimeOut: the attempts race, and one TimeOut bounds them all.
TEST(TidewireConnect, SilentAddressesAreOvertaken) {
  struct Case {
    const char* name;
    std::vector<const char*> addresses;  // 127.0.0.1 accepts; the others are silent
    std::int32_t timeOut;
    const char* failure;  // nullptr: connected to 127.0.0.1
    // below: generous for a loaded machine, yet far short of a wait per
    // address (the TimeOut before the next address, or one per address)
    std::chrono::milliseconds atLeast, below;
  };
  using std::chrono::milliseconds;
  const Case cases[] = {
      {"a silent first address", {"127.0.0.2", "127.0.0.1"}, 20000, nullptr, milliseconds(0), milliseconds(10000)},
      {"every address silent", {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, 3000, "Connection Timed out",
       milliseconds(3000), milliseconds(6000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({Drain()}, {.deadline = milliseconds(30000)});
    const std::string port = std::to_string(server.Port());
    TestTidewire wire(nullptr);
    std::vector<std::unique_ptr<loopback::SilentListener>> silent;
    for (const char* address : c.addresses) {
      if (std::string(address) != "127.0.0.1")
        silent.push_back(std::make_unique<loopback::SilentListener>(address, server.Port()));
    }
    EventLog log;
    log.Attach(wire);
    std::vector<std::string> traced;
    ResolveLocalhostTo(wire, log, c.addresses, server.Port(), traced);
    wire.TimeOut = c.timeOut;
    std::string raised;
    const auto start = std::chrono::steady_clock::now();
    try {
      wire.Connect();
    } catch (const ESockError& e) {
      raised = e.Message();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
    EXPECT_EQ(raised, c.failure ? c.failure : "");
    EXPECT_EQ(wire.Connected, c.failure == nullptr);
    std::vector<std::string> expected;
    if (!c.failure) expected.push_back("connected 127.0.0.1:" + port);
    for (size_t i = 0; c.failure && i < c.addresses.size(); ++i)
      expected.push_back("not " + std::string(c.addresses[i]) + ":" + port + ": Connection Timed out");
    EXPECT_EQ(traced, expected);
    EXPECT_EQ(log.Count("<OnConnectionFailed>"), c.failure ? 1 : 0);
    server.Stop();
  }
}

TEST(TidewireConnect, UnresolvedHosts) {
  struct Case {
    const char* name;
    std::string host;
    int lookups;  // "Timer On" of ResolveHost per attempt
    std::string failure;
  };
  const std::string noAddress = "Null Remote Address";
  const Case cases[] = {
      {"unknown name", "no-such-host.invalid", 1, noAddress + ": no address is known for the name no-such-host.invalid"},
      {"address 0.0.0.0", "0.0.0.0", 0, noAddress + ": no address is known for the name 0.0.0.0"},
      {"empty host", "", 1, noAddress},
      {"host longer than the buffer", std::string(kIoBufferData + 1, 'a'), 0, noAddress},
  };
  for (const Case& c : cases) {
    for (bool withHandler : {false, true}) {
      TestTidewire wire(nullptr);
      EventLog log;
      log.Attach(wire);
      wire.ReportLevel = 8;
      wire.Host = c.host;
      wire.Port = 25;
      int offers = 0;
      if (withHandler) {
        wire.OnInvalidHost = [&](bool& handled) {
          ++offers;
          handled = true;  // asks for a retry without changing Host
        };
      }
      try {
        wire.Connect();
        ADD_FAILURE() << c.name << ": connected";
      } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), c.failure) << c.name;
      }
      const int attempts = withHandler ? 2 : 1;
      EXPECT_EQ(offers, withHandler ? 1 : 0) << c.name;
      EXPECT_EQ(log.Count("Resolve Host"), attempts) << c.name;
      EXPECT_EQ(log.Count("Timer On"), attempts * c.lookups) << c.name;
      EXPECT_EQ(log.Count("<OnConnectionFailed>"), 0) << c.name;
      EXPECT_FALSE(wire.Connected) << c.name;
    }
  }
}

TEST(TidewireConnect, InvalidHostHandlerCanRepairTheHost) {
  ScriptedServer server({Drain()});
  TestTidewire wire(nullptr);
  wire.Host = "no-such-host.invalid";
  wire.Port = server.Port();
  wire.OnInvalidHost = [&](bool& handled) {
    wire.Host = "127.0.0.1";
    handled = true;
  };
  wire.Connect();
  EXPECT_TRUE(wire.Connected);
}

TEST(TidewireConnect, InvalidHostHandlerThatDeclines) {
  TestTidewire wire(nullptr);
  wire.Host = "0.0.0.0";
  int offers = 0;
  wire.OnInvalidHost = [&](bool&) { ++offers; };
  EXPECT_THROW(wire.Connect(), ESockError);
  EXPECT_EQ(offers, 1);
}

TEST(TidewireConnect, RefusedPortFailsAfterOnConnectionFailed) {
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  wire.Host = "127.0.0.1";
  wire.Port = UnusedPort();
  try {
    wire.Connect();
    FAIL() << "connected to a port nobody listens on";
  } catch (const ESockError& e) {
    EXPECT_EQ(e.Message(), "Connection Failed: connection refused by 127.0.0.1 port " + std::to_string(wire.Port) +
                               " (nothing listens there)");
  }
  EXPECT_THAT(log.entries, ElementsAre("<OnConnectionFailed>"));
  EXPECT_FALSE(wire.Connected);
  EXPECT_FALSE(wire.LastEventOk);
}

TEST(TidewireConnect, ConnectWhileConnected) {
  ScriptedServer server({Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  EventLog log;
  log.Attach(wire);
  wire.ReportLevel = 8;
  try {
    wire.Connect();
    FAIL() << "second connect passed";
  } catch (const ESockError& e) {
    EXPECT_EQ(e.Message(), "Already connected");
  }
  EXPECT_THAT(log.entries, ElementsAre("Connecting"));
  EXPECT_TRUE(wire.Connected);
}

// When the wait's timer is started, a tick (or a message whose handler
// cancels) is queued ahead of anything the network can deliver, so the wait
// ends at its first test of the flags whatever the network does meanwhile.
TEST(TidewireConnect, CancelAndTimeOutDuringTheWaits) {
  struct Case {
    const char* name;
    const char* host;
    int timerOnToActOn;  // from this one on: 1 the lookup's wait (a name), or the connect wait (an address)
    bool timeOut;        // the tick calls TimerTriggered, as the time-out timer does; else Cancel
    const char* message;
    bool connectionFailed;
  };
  const Case cases[] = {
      {"connect wait canceled", "127.0.0.1", 1, false, "Connection Canceled", true},
      {"connect wait timed out", "127.0.0.1", 1, true, "Connection Timed out", true},
      {"connect wait after a lookup canceled", "localhost", 2, false, "Connection Canceled", true},
      {"connect wait after a lookup timed out", "localhost", 2, true, "Connection Timed out", true},
      {"lookup canceled", "localhost", 1, false, "Host Lookup Canceled", false},
      {"lookup timed out", "localhost", 1, true, "Host Lookup Timed Out", false},
  };
  for (const Case& c : cases) {
    ScriptedServer server({Drain()}, ServerOptions{1, std::chrono::milliseconds(3000)});
    TestTidewire wire(nullptr);
    TThreadTimer trigger(nullptr);  // its window delivers the queued tick
    trigger.SetEnabled(false);
    trigger.SetOnTimer([&](TObject* sender) {
      if (c.timeOut)
        wire.TimerTriggered(sender);
      else
        wire.Cancel();
    });
    EventLog log;
    wire.ReportLevel = 8;
    wire.Host = c.host;
    wire.Port = server.Port();
    int timerOns = 0;
    wire.OnStatus = [&](TObject*, const std::string& status) {
      // Every later wait too: a name may have more addresses, each waited for.
      if (status == "Timer On" && ++timerOns >= c.timerOnToActOn)
        platform::PostMessageTo(trigger.TimerWindow(), platform::kMsgTimer, 1, 0);
    };
    wire.OnConnectionFailed = [&](TObject*) { log.entries.push_back("<OnConnectionFailed>"); };
    try {
      wire.Connect();
      ADD_FAILURE() << c.name << ": connected";
    } catch (const ESockError& e) {
      EXPECT_EQ(e.Message(), c.message) << c.name;
    }
    EXPECT_EQ(log.Count("<OnConnectionFailed>"), c.connectionFailed ? 1 : 0) << c.name;
    EXPECT_EQ(wire.TimedOut, c.timeOut) << c.name;
    // Canceled stays set after a failed connect; the next Connect clears it.
    EXPECT_TRUE(wire.Canceled) << c.name;
    EXPECT_FALSE(wire.Timer->Enabled()) << c.name;
    server.Stop();
  }
}

// A lookup given up by a cancel still completes later; its failure must not
// be taken for the next lookup's result, whichever completes first.
TEST(TidewireConnect, LookupAfterAnAbandonedOne) {
  ScriptedServer server({Send("220 found\r\n"), Drain()});
  TestTidewire wire(nullptr);
  wire.Port = server.Port();
  wire.Host = "no-such-host.invalid";
  wire.ReportLevel = 8;
  wire.OnStatus = [&](TObject*, const std::string& status) {
    if (status == "Timer On") wire.Cancel();
  };
  try {
    wire.Connect();
    FAIL() << "connected";
  } catch (const ESockError& e) {
    EXPECT_EQ(e.Message(), "Host Lookup Canceled");
  }
  wire.OnStatus = nullptr;
  wire.Host = "localhost";
  wire.Connect();
  EXPECT_TRUE(wire.Connected);
  std::string line;
  wire.ReadLn(line);
  EXPECT_EQ(line, "220 found\r\n");
}

TEST(TidewireConnect, EarlierCancelDoesNotStopConnect) {
  ScriptedServer server({Send("220 second try\r\n"), Drain()});
  TestTidewire wire(nullptr);
  wire.Host = "127.0.0.1";
  wire.Port = server.Port();
  wire.Cancel();
  // Canceled is cleared at the start of Connect: an earlier cancel does not stop it.
  wire.Connect();
  EXPECT_FALSE(wire.Canceled);
  std::string line;
  wire.ReadLn(line);
  EXPECT_EQ(line, "220 second try\r\n");
}

TEST(TidewireClose, DisconnectOnIdleComponentReplacesTheSocket) {
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  wire.ReportLevel = 4;
  wire.Disconnect();
  EXPECT_THAT(log.entries, ElementsAre("Request Close Socket", "<OnDisconnect>"));
  EXPECT_FALSE(wire.Connected);
  ASSERT_NE(wire.SocketHandle, kNoSocket);
  // The replacement is a working, unconnected socket.
  ScriptedServer server({Send("220 fresh\r\n"), Drain()});
  ConnectTo(wire, server.Port());
  std::string line;
  wire.ReadLn(line);
  EXPECT_EQ(line, "220 fresh\r\n");
}

TEST(TidewireClose, DisconnectClosesTheConnection) {
  ScriptedServer server({Send("220 hi\r\n"), Drain()});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  std::string line;
  wire.ReadLn(line);  // the server's send is done before the reset can reach it
  wire.Disconnect();
  server.Join();  // the server's drain ends only when it sees the close
  EXPECT_THAT(server.Failures(), IsEmpty());
  EXPECT_FALSE(wire.Connected);
}

TEST(TidewireClose, PeerCloseWithoutUnreadDataDisconnects) {
  ScriptedServer server({Wait(50), Close()});
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  ConnectTo(wire, server.Port());
  EXPECT_TRUE(PumpUntil([&] { return !wire.Connected; }));
  EXPECT_THAT(log.entries, ElementsAre("<OnConnect>", "<OnDisconnect>"));
}

// A server that hangs up at once (a connection limit, say) may have its close
// arrive in the same pump step as the connect: the connect wait must end all
// the same, and Connect must not claim a connection that is gone.
TEST(TidewireClose, PeerHangsUpDuringTheConnectWait) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    ScriptedServer server({Close()});
    TestTidewire wire(nullptr);
    TThreadTimer watchdog(nullptr);  // ends a wait that would hang, so that the test fails instead
    watchdog.SetInterval(5000);
    watchdog.SetOnTimer([&](TObject*) { wire.Abort(); });
    EventLog log;
    log.Attach(wire);
    wire.Host = "127.0.0.1";
    wire.Port = server.Port();
    try {
      wire.Connect();
      EXPECT_TRUE(wire.Connected) << "Connect returned without a connection";
    } catch (const ESockError& e) {
      EXPECT_EQ(e.Message(), "Connection Failed") << "attempt " << attempt;
      EXPECT_THAT(log.entries, ElementsAre("<OnConnect>", "<OnDisconnect>", "<OnConnectionFailed>"));
    }
  }
}

TEST(TidewireClose, PeerCloseWithUnreadDataKeepsTheConnection) {
  ScriptedServer server({Send("221 bye\r\n"), Close()});
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  ConnectTo(wire, server.Port());
  PumpFor(200);  // the close arrives while the line waits unread
  EXPECT_TRUE(wire.Connected);
  EXPECT_EQ(log.Count("<OnDisconnect>"), 0);
  std::string line;
  wire.ReadLn(line);
  EXPECT_EQ(line, "221 bye\r\n");
  wire.ReadLn(line);
  EXPECT_EQ(line, "");
  wire.Disconnect();
  EXPECT_EQ(log.Count("<OnDisconnect>"), 1);
}

TEST(TidewireNotification, StaleSocketNotificationIsIgnored) {
  TestTidewire wire(nullptr);
  EventLog log;
  log.Attach(wire);
  const std::uintptr_t otherSocket = wire.SocketHandle + 1000u;
  ASSERT_TRUE(platform::PostMessageTo(wire.NotifyWindow, kSocketNotifyMessage, otherSocket, platform::kEventClose));
  ASSERT_TRUE(platform::PostMessageTo(wire.NotifyWindow, kSocketNotifyMessage, otherSocket, platform::kEventAccept));
  PumpFor(50);
  EXPECT_THAT(log.entries, IsEmpty());
  EXPECT_FALSE(wire.Connected);
}

TEST(TidewireNotification, WindowProcedureAnswers) {
  TestTidewire wire(nullptr);
  int accepts = 0;
  wire.OnAccept = [&](TObject*) { ++accepts; };
  const std::uintptr_t socket = wire.SocketHandle;
  // Every number from 1125 on is the component's and is answered 0.
  EXPECT_EQ(SocketWindowProc(wire.NotifyWindow, kSocketNotifyMessage, socket, platform::kEventAccept), 0);
  EXPECT_EQ(accepts, 1);
  EXPECT_TRUE(wire.Connected);
  EXPECT_EQ(SocketWindowProc(wire.NotifyWindow, kSocketNotifyMessage + 7, socket, 0), 0);
  // An error in the high word clears LastEventOk for any of them.
  EXPECT_EQ(SocketWindowProc(wire.NotifyWindow, kSocketNotifyMessage + 7, socket, 10061 << 16), 0);
  EXPECT_FALSE(wire.LastEventOk);
  // A lookup completion with nothing outstanding ends no wait.
  EXPECT_EQ(SocketWindowProc(wire.NotifyWindow, kLookupDoneMessage, 0, 0), 0);
  EXPECT_FALSE(wire.AsyncDone);
  // Below 1125 the default procedure answers, and the component sees nothing.
  EXPECT_EQ(SocketWindowProc(wire.NotifyWindow, kSocketNotifyMessage - 1, socket, platform::kEventAccept),
            platform::DefaultWindowProc(wire.NotifyWindow, kSocketNotifyMessage - 1, socket, platform::kEventAccept));
  EXPECT_EQ(accepts, 1);
}

TEST(TidewireNotification, HandlerExceptionsStayInside) {
  TestTidewire wire(nullptr);
  wire.OnAccept = [](TObject*) { throw ESockError("accept handler"); };
  EXPECT_EQ(SocketWindowProc(wire.NotifyWindow, kSocketNotifyMessage, wire.SocketHandle, platform::kEventAccept), 0);
  EXPECT_TRUE(wire.Connected);
}

TEST(TidewireCheckConnection, OneChanceForTheHandler) {
  ScriptedServer server({Drain()});
  struct Case {
    const char* name;
    bool assigned;
    bool connects;
    bool handled;
    int calls;
    bool passes;
  };
  const Case cases[] = {
      {"no handler", false, false, false, 0, false},
      {"handler declines", true, false, false, 1, false},
      {"handler claims without connecting", true, false, true, 1, false},
      {"handler connects", true, true, true, 1, true},
  };
  for (const Case& c : cases) {
    TestTidewire wire(nullptr);
    int calls = 0;
    if (c.assigned) {
      wire.OnConnectionRequired = [&](bool& handled) {
        ++calls;
        if (c.connects) ConnectTo(wire, server.Port());
        handled = c.handled;
      };
    }
    if (c.passes) {
      EXPECT_NO_THROW(wire.CheckConnection()) << c.name;
    } else {
      try {
        wire.CheckConnection();
        ADD_FAILURE() << c.name << ": passed";
      } catch (const ESockError&) {
        ADD_FAILURE() << c.name << ": not the base exception class";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Not Connected") << c.name;
      }
    }
    EXPECT_EQ(calls, c.calls) << c.name;
  }
}

TEST(TidewireAccept, EndsOnCancelOrAnErrorNotification) {
  {
    TestTidewire wire(nullptr);
    wire.Cancel();
    try {
      wire.Accept();
      FAIL() << "accepted";
    } catch (const ESockError& e) {
      EXPECT_EQ(e.Message(), "Accepting Canceled");
    }
  }
  {
    TestTidewire wire(nullptr);
    wire.Host = "no-such-host.invalid";
    // The failed lookup's completion leaves AsyncDone set and LastEventOk clear.
    EXPECT_THROW(wire.ResolveHost(), ESockError);
    ASSERT_TRUE(wire.AsyncDone);
    ASSERT_FALSE(wire.LastEventOk);
    try {
      wire.Accept();
      FAIL() << "accepted";
    } catch (const ESockError& e) {
      EXPECT_EQ(e.Message(), "Error creating Data Connection");
    }
  }
}

}  // namespace
