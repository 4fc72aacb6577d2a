#pragma once
// The far end of the platform socket tests: plain blocking sockets on
// 127.0.0.1, written against the system's own socket calls so that they do
// not share faults with the layer under test. Every wait is bounded.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdint>
#include <string>
#include <utility>

namespace loopback {

#ifdef _WIN32
using Native = SOCKET;
inline constexpr Native kNone = INVALID_SOCKET;
inline void CloseNative(Native s) { ::closesocket(s); }
inline void MakeNonBlocking(Native s) {
  u_long on = 1;
  ::ioctlsocket(s, FIONBIO, &on);
}
#else
using Native = int;
inline constexpr Native kNone = -1;
inline void CloseNative(Native s) { ::close(s); }
inline void MakeNonBlocking(Native s) { ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK); }
#endif

inline constexpr int kWaitMilliseconds = 5000;

/// True under Wine, whose sockets differ from Windows in ways the tests
/// meet: SO_LINGER {on, 0} closes in order instead of resetting; a peer's
/// close is reported only once the data before it was read; a close by reset
/// is reported without an error number; a send without a connection fails
/// with 10054 rather than 10057; and a receive after a refused connect reads
/// an empty stream.
inline bool UnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

/// True when s becomes readable within milliseconds.
inline bool Readable(Native s, int milliseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return ::select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &limit) > 0;
}

/// True when s becomes writable (its connect ended) within milliseconds.
inline bool Writable(Native s, int milliseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return ::select(static_cast<int>(s) + 1, nullptr, &set, nullptr, &limit) > 0;
}

inline sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

inline std::uint16_t LocalPortOf(Native s) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

/// What a receive on the peer saw.
enum class Received { kData, kOrderlyClose, kReset, kNothing };

/// One connected blocking socket; closes it on destruction.
class Peer {
 public:
  Peer() = default;
  explicit Peer(Native s) : s_(s) {}
  Peer(Peer&& other) noexcept : s_(std::exchange(other.s_, kNone)) {}
  Peer& operator=(Peer&& other) noexcept {
    Close();
    s_ = std::exchange(other.s_, kNone);
    return *this;
  }
  ~Peer() { Close(); }

  /// A blocking connection to 127.0.0.1:port; an invalid peer on failure.
  static Peer ConnectTo(std::uint16_t port) {
    const Native s = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = LoopbackAddress(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      CloseNative(s);
      return Peer();
    }
    return Peer(s);
  }

  bool Valid() const { return s_ != kNone; }
  std::uint16_t LocalPort() const { return LocalPortOf(s_); }

  bool Send(const std::string& data) {
    return ::send(s_, data.data(), static_cast<int>(data.size()), 0) == static_cast<int>(data.size());
  }

  /// Waits up to kWaitMilliseconds for one receive; data gets what arrived.
  Received Receive(std::string& data) {
    data.clear();
    if (!Readable(s_, kWaitMilliseconds)) return Received::kNothing;
    char buffer[4096];
    const int n = static_cast<int>(::recv(s_, buffer, sizeof buffer, 0));
    if (n == 0) return Received::kOrderlyClose;
    if (n < 0) return Received::kReset;
    data.assign(buffer, static_cast<std::size_t>(n));
    return Received::kData;
  }

  /// An orderly close.
  void Close() {
    if (s_ != kNone) CloseNative(s_);
    s_ = kNone;
  }

  /// An abortive close: the other side sees a reset.
  void Reset() {
    const linger hard{1, 0};
    ::setsockopt(s_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    Close();
  }

 private:
  Native s_ = kNone;
};

/// A listening socket on 127.0.0.1 with a port of the system's choice.
class Listener {
 public:
  Listener() : s_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const sockaddr_in address = LoopbackAddress(0);
    ::bind(s_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(s_, 8);
  }
  ~Listener() { CloseNative(s_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  std::uint16_t Port() const { return LocalPortOf(s_); }
  Native Handle() const { return s_; }

  /// The next connection, waiting at most kWaitMilliseconds; invalid when none came.
  Peer Accept() {
    if (!Readable(s_, kWaitMilliseconds)) return Peer();
    return Peer(::accept(s_, nullptr, nullptr));
  }

 private:
  Native s_;
};

/// A listener at address (127.0.0.x) and port whose queue is full: it never
/// accepts, and the SYN of every further connect is dropped, so that the
/// connect stays unanswered. No firewall needed.
class SilentListener {
 public:
  SilentListener(const char* address, std::uint16_t port) : s_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in where = LoopbackAddress(port);
    where.sin_addr.s_addr = ::inet_addr(address);
    ::bind(s_, reinterpret_cast<const sockaddr*>(&where), sizeof where);
    ::listen(s_, 0);
    for (Native& filler : fillers_) {
      filler = ::socket(AF_INET, SOCK_STREAM, 0);
      MakeNonBlocking(filler);
      ::connect(filler, reinterpret_cast<const sockaddr*>(&where), sizeof where);
    }
    Writable(fillers_.front(), kWaitMilliseconds);  // the queue's one place is taken
  }
  ~SilentListener() {
    for (const Native filler : fillers_) CloseNative(filler);
    CloseNative(s_);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

 private:
  Native s_;
  std::array<Native, 3> fillers_{};
};

/// A loopback port on which nothing listens (bound a moment ago, now free).
inline std::uint16_t ClosedPort() {
  const Native s = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = LoopbackAddress(0);
  ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const std::uint16_t port = LocalPortOf(s);
  CloseNative(s);
  return port;
}

}  // namespace loopback
