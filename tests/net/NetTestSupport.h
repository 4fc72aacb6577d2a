#pragma once
// Helpers for the socket transport tests: a component with its protected
// state opened up, a recorder of events and statuses, and a pumping wait.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "net/Tidewire.h"
#include "platform/Messages.h"
#include "support/ScriptedServer.h"

/// TTidewire with the state the tests inspect made reachable.
class TestTidewire : public TTidewire {
 public:
  using TTidewire::TTidewire;
  using TTidewire::AsyncDone;
  using TTidewire::IoBuffer;
  using TTidewire::LastEventOk;
  using TTidewire::NotifyWindow;
  using TTidewire::RemoteAddress;
  using TTidewire::ResolvedAddresses;
  using TTidewire::SocketHandle;
  using TTidewire::Timer;
};

/// Records, in order, every status text and event of a component as one text each.
struct EventLog {
  std::vector<std::string> entries;

  void Attach(TTidewire& wire) {
    wire.OnStatus = [this](TObject*, const std::string& status) { entries.push_back(status); };
    wire.OnConnect = [this](TObject*) { entries.push_back("<OnConnect>"); };
    wire.OnDisconnect = [this](TObject*) { entries.push_back("<OnDisconnect>"); };
    wire.OnHostResolved = [this](TObject*) { entries.push_back("<OnHostResolved>"); };
    wire.OnConnectionFailed = [this](TObject*) { entries.push_back("<OnConnectionFailed>"); };
    wire.OnError = [this](TObject*, std::uint16_t error, const std::string& message) {
      entries.push_back("<OnError " + std::to_string(error) + " " + message + ">");
    };
  }
  int Count(const std::string& entry) const {
    int count = 0;
    for (const std::string& e : entries) count += e == entry;
    return count;
  }
};

/// Pumps the thread's messages until done() holds or milliseconds pass;
/// returns done().
inline bool PumpUntil(const std::function<bool()>& done, int milliseconds = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done() && std::chrono::steady_clock::now() < end) {
    platform::PumpMessages();
    platform::SleepMilliseconds(2);
  }
  return done();
}

/// Pumps the thread's messages for milliseconds.
inline void PumpFor(int milliseconds) {
  PumpUntil([] { return false; }, milliseconds);
}

/// True when the resolver gives an IPv6 address first for name (localhost
/// may stand for ::1 before 127.0.0.1, as the hosts file says).
inline bool ResolvesToIPv6First(const std::string& name) {
  TestTidewire wire(nullptr);
  wire.Host = name;
  wire.ResolveHost();
  return wire.RemoteAddress.family == platform::AddressFamily::kIPv6;
}

/// A component connected to 127.0.0.1:port.
inline void ConnectTo(TTidewire& wire, std::uint16_t port) {
  wire.Host = "127.0.0.1";
  wire.Port = port;
  wire.Connect();
}

/// Pumps until server has received count bytes. Needed before closing: the
/// first socket of a component resets its connection on close, which drops
/// whatever is still in flight.
inline bool ServerReceives(const testserver::ScriptedServer& server, std::int64_t count) {
  return PumpUntil([&] { return server.ReceivedCount() >= count; }, 10000);
}
