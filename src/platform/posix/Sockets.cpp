#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "platform/FastFallback.h"
#include "platform/HostEntryLayout.h"
#include "platform/posix/SocketErrors.h"
#include "platform/posix/ThreadQueue.h"

namespace platform {
namespace posix {
namespace {

constexpr int kWouldBlock = 10035;
constexpr int kInvalidArgument = 10022;
constexpr int kNotConnected = 10057;

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE, set on every socket, does the same
#endif

// A peer that closed its side while unread data waits: Linux tells it apart
// from plain data; elsewhere the close shows once the data has been read.
#ifdef POLLRDHUP
constexpr short kPeerClosedPoll = POLLRDHUP;
#else
constexpr short kPeerClosedPoll = 0;
#endif

enum class Phase {
  kIdle,        // never connected
  kConnecting,  // connect issued, its end not yet reported
  kConnected,
  kListening,
  kConnectFailed,
  kEnded,  // the connection ended, and that was reported
};

/// A socket of this layer and, once in asynchronous mode (events not 0),
/// where its notifications go and which of them may be posted now
/// ("armed"). Each event is posted once and armed again only by the call
/// WinSock names for it (recv for read, accept for accept, a send that
/// would block for write); connect and close happen once.
struct SocketState {
  WindowHandle window = 0;
  std::uint32_t message = 0;
  std::int32_t events = 0;
  std::shared_ptr<ThreadQueue> queue;  // of the window's thread; null for no window
  Phase phase = Phase::kIdle;
  int connectError = 0;  // errno of a connect that failed at once, told by the connect event
  bool readArmed = false;
  bool writeArmed = false;
  bool acceptArmed = false;
  bool connectArmed = false;
  bool closeArmed = false;

  void Arm() {
    readArmed = events & kEventRead;
    writeArmed = events & kEventWrite;
    acceptArmed = events & kEventAccept;
    connectArmed = events & kEventConnect;
    closeArmed = events & kEventClose;
  }

  void Notify(int fd, SocketEvent event, int error) const {
    if (queue) queue->Post({window, message, static_cast<std::uintptr_t>(fd), (error << 16) | event, {}});
  }

  /// What poll must watch for so that an armed event can be noticed; 0: nothing can be.
  short Interest() const {
    if (events == 0) return 0;
    switch (phase) {
      case Phase::kConnecting:
        return connectError != 0 ? 0 : POLLOUT;
      case Phase::kListening:
        return acceptArmed ? POLLIN : 0;
      case Phase::kConnected: {
        short interest = 0;
        if (readArmed) interest |= POLLIN;
        if (writeArmed) interest |= POLLOUT;
        if (closeArmed) interest |= kPeerClosedPoll != 0 ? kPeerClosedPoll : (events & kEventRead) ? 0 : POLLIN;
        return interest;
      }
      case Phase::kIdle:
      case Phase::kConnectFailed:
      case Phase::kEnded:
        return 0;
    }
    return 0;
  }
};

/// Every socket made by this layer or put in asynchronous mode, by descriptor.
struct SocketTable {
  std::mutex mutex;
  std::unordered_map<int, SocketState> sockets;
};

SocketTable& Table() {
  static auto* table = new SocketTable;
  return *table;
}

int Descriptor(SocketHandle socket) { return socket > static_cast<SocketHandle>(INT_MAX) ? -1 : static_cast<int>(socket); }

int PendingError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

bool HasOption(int fd, int option) {
  int value = 0;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 && value != 0;
}

void PreventBrokenPipeSignal([[maybe_unused]] int fd) {
#ifdef SO_NOSIGPIPE
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

/// TCP keep-alive probes after a minute of silence, so that a peer that
/// vanished (a server that died, a NAT that forgot the connection) ends a
/// long wait as a reset instead of never. The probe timings are Linux's and
/// the BSDs' options; elsewhere the system's own apply.
void KeepAlive(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
  const int idleSeconds = 60;
  const int intervalSeconds = 15;
  const int probes = 4;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
}

bool MakeNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

/// remote as the system's socket address in storage; its length.
socklen_t SystemAddress(const SocketAddress& remote, sockaddr_storage& storage) {
  return static_cast<socklen_t>(detail::ToSystemAddress<sockaddr_in, sockaddr_in6>(remote, storage, AF_INET, AF_INET6));
}

SocketAddress FromSystem(const sockaddr_storage& storage) {
  return detail::FromSystemAddress<sockaddr_in, sockaddr_in6>(&storage, storage.ss_family, AF_INET, AF_INET6);
}

Phase PhaseOf(int fd) {
  if (HasOption(fd, SO_ACCEPTCONN)) return Phase::kListening;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? Phase::kConnected : Phase::kIdle;
}

/// Turns what poll saw on a connected socket into its notifications.
void NoticeConnected(int fd, short seen, SocketState& socket) {
  int error = (seen & POLLERR) ? PendingError(fd) : 0;
  bool data = false;
  bool ended = false;
  if (error == 0 && (seen & (POLLIN | POLLHUP | kPeerClosedPoll))) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    data = n > 0;
    ended = n == 0;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) error = errno;
  }
  if ((seen & POLLERR) && error == 0) error = ECONNRESET;  // the error was already taken by a receive
  if (error != 0) {
    if (socket.closeArmed) socket.Notify(fd, kEventClose, WinsockErrorOf(error));
    socket.phase = Phase::kEnded;
    return;
  }
  if ((seen & POLLOUT) && socket.writeArmed) {
    socket.writeArmed = false;
    socket.Notify(fd, kEventWrite, 0);
  }
  if (data && socket.readArmed) {
    socket.readArmed = false;
    socket.Notify(fd, kEventRead, 0);
  }
  const bool peerClosed = ended || (seen & (POLLHUP | kPeerClosedPoll));
  if (peerClosed && socket.closeArmed) {
    socket.closeArmed = false;
    socket.Notify(fd, kEventClose, 0);
  }
  if (ended) socket.phase = Phase::kEnded;  // nothing can arrive after the end of the stream
}

void NoticeConnectEnd(int fd, short seen, SocketState& socket) {
  int error = socket.connectError != 0 ? socket.connectError : PendingError(fd);
  if (error == 0 && !(seen & POLLOUT)) error = ECONNABORTED;
  socket.connectError = 0;
  if (socket.connectArmed) {
    socket.connectArmed = false;
    socket.Notify(fd, kEventConnect, error != 0 ? WinsockErrorOf(error) : 0);
  }
  if (error != 0) {
    socket.phase = Phase::kConnectFailed;
    return;
  }
  socket.phase = Phase::kConnected;
  if (socket.writeArmed) {
    socket.writeArmed = false;
    socket.Notify(fd, kEventWrite, 0);
  }
}

/// Adds a pollfd for each socket of queue that could fire an armed event. Caller holds the table lock.
void AppendWatchedSockets(const ThreadQueue* queue, std::vector<pollfd>& fds) {
  for (const auto& [fd, socket] : Table().sockets) {
    if (socket.queue.get() != queue) continue;
    if (const short interest = socket.Interest()) fds.push_back({fd, interest, 0});
  }
}

/// Failures of a connect that are the network's answer (refused,
/// unreachable, no route), not a call the system would not take.
bool NetworkAnswer(int error) {
  switch (error) {
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EADDRNOTAVAIL:  // an IPv6 address where this machine has no IPv6 route
      return true;
    default:
      return false;
  }
}

}  // namespace

void CollectSocketEvents() {
  const auto queue = CurrentThreadQueue();
  SocketTable& table = Table();
  std::lock_guard lock(table.mutex);
  std::vector<pollfd> fds;
  for (auto& [fd, socket] : table.sockets) {
    if (socket.queue == queue && socket.phase == Phase::kConnecting && socket.connectError != 0) {
      NoticeConnectEnd(fd, 0, socket);
    }
  }
  AppendWatchedSockets(queue.get(), fds);
  if (fds.empty() || ::poll(fds.data(), fds.size(), 0) <= 0) return;
  for (const pollfd& watched : fds) {
    if (watched.revents == 0) continue;
    SocketState& socket = table.sockets.at(watched.fd);
    switch (socket.phase) {
      case Phase::kConnecting:
        NoticeConnectEnd(watched.fd, watched.revents, socket);
        break;
      case Phase::kConnected:
        NoticeConnected(watched.fd, watched.revents, socket);
        break;
      case Phase::kListening:
        if ((watched.revents & POLLIN) && socket.acceptArmed) {
          socket.acceptArmed = false;
          socket.Notify(watched.fd, kEventAccept, 0);
        }
        break;
      case Phase::kIdle:
      case Phase::kConnectFailed:
      case Phase::kEnded:
        break;
    }
  }
}

/// Waits up to maxMilliseconds for fds (their revents filled) or a message
/// in the thread's queue, timers and the notifications of the thread's
/// sockets included. With a message waiting already, looks at fds without waiting.
void PollOrMessage(std::vector<pollfd>& fds, std::uint32_t maxMilliseconds) {
  const auto queue = CurrentThreadQueue();
  // Readiness that becomes a notification is a waiting message, as on Windows.
  CollectSocketEvents();
  std::chrono::milliseconds timeout(std::min<std::uint32_t>(maxMilliseconds, INT_MAX));
  const std::chrono::milliseconds toTimer = queue->TimeToNextTimer();
  if (toTimer.count() >= 0) timeout = std::min(timeout, toTimer);
  if (!queue->Empty()) timeout = std::chrono::milliseconds(0);
  const size_t own = fds.size();
  fds.push_back({queue->WakeDescriptor(), POLLIN, 0});
  {
    SocketTable& table = Table();
    std::lock_guard lock(table.mutex);
    AppendWatchedSockets(queue.get(), fds);
  }
  ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));  // an interrupted wait simply ends early
  fds.resize(own);
}

}  // namespace posix

int StartupSockets(SocketsStartupData& data) {
  // What a Windows Sockets 2.2 library tells a caller asking for 1.1.
  data.version = 0x0101;
  data.highVersion = 0x0202;
  data.description = "POSIX sockets";
  data.systemStatus = "Running";
  rlimit files{};
  const rlim_t limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 0xFFFF;
  data.maxSockets = static_cast<std::uint16_t>(std::min<rlim_t>(limit, 0xFFFF));
  data.maxUdpDatagram = 65507;  // the largest IPv4 UDP payload
  return 0;
}

void CleanupSockets() {}

SocketHandle CreateStreamSocket(int protocol, AddressFamily family) {
  const int domain = family == AddressFamily::kIPv6 ? AF_INET6 : AF_INET;
#ifdef SOCK_CLOEXEC
  const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, protocol);
#else
  const int fd = ::socket(domain, SOCK_STREAM, protocol);
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
  if (fd < 0) {
    posix::FailWithErrno();
    return kInvalidSocket;
  }
  posix::PreventBrokenPipeSignal(fd);
  // A dialogue of short lines must not wait for delayed acknowledgements.
  const int noDelay = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  posix::KeepAlive(fd);
  posix::SocketTable& table = posix::Table();
  std::lock_guard lock(table.mutex);
  table.sockets[fd] = posix::SocketState{};
  return static_cast<SocketHandle>(fd);
}

int SetLinger(SocketHandle socket, bool on, std::uint16_t seconds) {
  const linger value{on ? 1 : 0, seconds};
  if (::setsockopt(posix::Descriptor(socket), SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) {
    return posix::FailWithErrno();
  }
  return 0;
}

int AsyncSelect(SocketHandle socket, WindowHandle window, std::uint32_t message, std::int32_t events) {
  const int fd = posix::Descriptor(socket);
  if (!posix::MakeNonBlocking(fd)) return posix::FailWithErrno();
  posix::SocketTable& table = posix::Table();
  std::lock_guard lock(table.mutex);
  const auto existing = table.sockets.find(fd);
  posix::SocketState& entry = existing != table.sockets.end() ? existing->second : table.sockets[fd];
  // A socket connected without notifications (a fast-fallback attempt) is connected from now on.
  if (existing == table.sockets.end() || entry.phase == posix::Phase::kIdle) entry.phase = posix::PhaseOf(fd);
  entry.window = window;
  entry.message = message;
  entry.events = events;
  entry.queue = events != 0 ? posix::QueueOfWindow(window) : nullptr;  // WinSock leaves it non-blocking anyway
  entry.Arm();
  return 0;
}

int ConnectSocket(SocketHandle socket, const SocketAddress& address) {
  const int fd = posix::Descriptor(socket);
  sockaddr_storage remote{};
  const socklen_t length = posix::SystemAddress(address, remote);
  posix::SocketTable& table = posix::Table();
  std::unique_lock lock(table.mutex);
  auto found = table.sockets.find(fd);
  if (found == table.sockets.end() || found->second.events == 0) {
    lock.unlock();
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&remote), length) == 0;
    const int error = errno;
    lock.lock();
    found = table.sockets.find(fd);
    if (found != table.sockets.end()) found->second.phase = connected ? posix::Phase::kConnected : posix::Phase::kConnectFailed;
    if (connected) return 0;
    posix::SetLastSocketError(posix::WinsockErrorOf(error));
    return kSocketError;
  }
  // An asynchronous connect always ends with the connect event, as in
  // WinSock, even when the system knows the outcome at once.
  posix::SocketState& entry = found->second;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), length) == 0) {
    entry.phase = posix::Phase::kConnecting;
    return 0;
  }
  if (posix::NetworkAnswer(errno)) {
    entry.connectError = errno;
  } else if (errno != EINPROGRESS && errno != EINTR) {
    return posix::FailWithErrno();
  }
  entry.phase = posix::Phase::kConnecting;
  posix::SetLastSocketError(posix::kWouldBlock);
  return kSocketError;
}

int SendOnSocket(SocketHandle socket, const void* data, int length) {
  if (length < 0) {
    posix::SetLastSocketError(posix::kInvalidArgument);
    return kSocketError;
  }
  const int fd = posix::Descriptor(socket);
  ssize_t sent;
  do {
    sent = ::send(fd, data, static_cast<size_t>(length), posix::kSendFlags);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) return static_cast<int>(sent);
  const int error = errno;
  int winsockError = posix::WinsockErrorOf(error);
  posix::SocketTable& table = posix::Table();
  std::lock_guard lock(table.mutex);
  if (const auto found = table.sockets.find(fd); found != table.sockets.end()) {
    posix::SocketState& entry = found->second;
    if (error == EAGAIN || error == EWOULDBLOCK) entry.writeArmed = entry.events & kEventWrite;
    // Linux says "broken pipe" also for a socket that never had a connection.
    const bool everConnected = entry.phase == posix::Phase::kConnected || entry.phase == posix::Phase::kEnded;
    if (error == EPIPE && !everConnected) winsockError = posix::kNotConnected;
  }
  posix::SetLastSocketError(winsockError);
  return kSocketError;
}

int ReceiveOnSocket(SocketHandle socket, void* buffer, int length, bool peek) {
  if (length < 0) {
    posix::SetLastSocketError(posix::kInvalidArgument);
    return kSocketError;
  }
  const int fd = posix::Descriptor(socket);
  {
    posix::SocketTable& table = posix::Table();
    std::lock_guard lock(table.mutex);
    const auto found = table.sockets.find(fd);
    if (found != table.sockets.end()) {
      found->second.readArmed = found->second.events & kEventRead;
      // Linux reads the end of a stream from a socket whose connect failed;
      // there was no stream, and a caller must not take it for a peer's close.
      if (found->second.phase == posix::Phase::kConnectFailed) {
        posix::SetLastSocketError(posix::kNotConnected);
        return kSocketError;
      }
    }
  }
  ssize_t received;
  do {
    received = ::recv(fd, buffer, static_cast<size_t>(length), peek ? MSG_PEEK : 0);
  } while (received < 0 && errno == EINTR);
  if (received >= 0) return static_cast<int>(received);
  return posix::FailWithErrno();
}

int CloseSocket(SocketHandle socket) {
  const int fd = posix::Descriptor(socket);
  posix::SocketState closed;
  {
    posix::SocketTable& table = posix::Table();
    std::lock_guard lock(table.mutex);
    if (const auto found = table.sockets.find(fd); found != table.sockets.end()) {
      closed = std::move(found->second);
      table.sockets.erase(found);
    }
  }
  if (closed.queue) {
    closed.queue->Discard([&](const posix::QueuedMessage& waiting) {
      return waiting.window == closed.window && waiting.message == closed.message &&
             waiting.wParam == static_cast<std::uintptr_t>(fd);
    });
  }
  return ::close(fd) == 0 ? 0 : posix::FailWithErrno();
}

SocketHandle AcceptOnSocket(SocketHandle socket, SocketAddress* peerAddress) {
  const int listener = posix::Descriptor(socket);
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  int fd;
  do {
    fd = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  } while (fd < 0 && errno == EINTR);
  const int error = errno;
  posix::SocketTable& table = posix::Table();
  std::lock_guard lock(table.mutex);
  const auto found = table.sockets.find(listener);
  if (found != table.sockets.end()) found->second.acceptArmed = found->second.events & kEventAccept;
  if (fd < 0) {
    posix::SetLastSocketError(posix::WinsockErrorOf(error));
    return kInvalidSocket;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  posix::PreventBrokenPipeSignal(fd);
  posix::SocketState accepted = found != table.sockets.end() ? found->second : posix::SocketState{};
  accepted.phase = posix::Phase::kConnected;
  accepted.Arm();
  if (accepted.events != 0) posix::MakeNonBlocking(fd);
  table.sockets[fd] = std::move(accepted);
  if (peerAddress != nullptr) *peerAddress = posix::FromSystem(peer);
  return static_cast<SocketHandle>(fd);
}

std::uint32_t InetAddr(const char* text) { return text == nullptr ? kNoAddress : ::inet_addr(text); }

std::optional<SocketAddress> IPv6Literal(const char* text) {
  // Brackets belong to a URL or a command line around the address, not to it.
  if (text == nullptr || std::strchr(text, ':') == nullptr || std::strpbrk(text, "[]") != nullptr) return std::nullopt;
  // getaddrinfo, unlike inet_pton, also takes a zone ("fe80::1%eth0"); a
  // numeric host never asks a name server.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(text, nullptr, &hints, &found) != 0) return std::nullopt;
  const SocketAddress address =
      detail::FromSystemAddress<sockaddr_in, sockaddr_in6>(found->ai_addr, found->ai_family, AF_INET, AF_INET6);
  ::freeaddrinfo(found);
  return address;
}

std::string AddressText(const SocketAddress& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const int family = address.family == AddressFamily::kIPv6 ? AF_INET6 : AF_INET;
  if (address.family == AddressFamily::kNone || ::inet_ntop(family, address.bytes.data(), text, sizeof text) == nullptr) {
    return {};
  }
  return text;
}

SocketAddress LocalAddressOf(SocketHandle socket) {
  sockaddr_storage own{};
  socklen_t length = sizeof own;
  if (::getsockname(posix::Descriptor(socket), reinterpret_cast<sockaddr*>(&own), &length) != 0) return {};
  const SocketAddress address = posix::FromSystem(own);
  return address.Unspecified() ? SocketAddress{} : address;  // not bound yet
}

void WaitForSocketOrMessage(SocketHandle socket, SocketWait what, std::uint32_t maxMilliseconds) {
  std::vector<pollfd> fds{
      {posix::Descriptor(socket), static_cast<short>(what == SocketWait::kReadable ? POLLIN : POLLOUT), 0}};
  posix::PollOrMessage(fds, maxMilliseconds);
}

namespace detail {

ConnectStart StartConnect(const SocketAddress& address) {
  const SocketHandle socket = CreateStreamSocket(0, address.family);
  if (socket == kInvalidSocket) return {kInvalidSocket, LastSocketError(), true};
  const int fd = posix::Descriptor(socket);
  sockaddr_storage remote{};
  const socklen_t length = posix::SystemAddress(address, remote);
  int error = 0;
  if (!posix::MakeNonBlocking(fd)) {
    error = errno;
  } else if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), length) != 0 && errno != EINPROGRESS &&
             errno != EINTR) {
    error = errno;
  }
  if (error == 0) return {socket, 0, false};
  CloseSocket(socket);
  return {kInvalidSocket, posix::WinsockErrorOf(error), !posix::NetworkAnswer(error)};
}

std::vector<int> WaitForConnects(const std::vector<SocketHandle>& sockets, std::uint32_t maxMilliseconds) {
  std::vector<pollfd> fds;
  for (const SocketHandle socket : sockets) fds.push_back({posix::Descriptor(socket), POLLOUT, 0});
  posix::PollOrMessage(fds, maxMilliseconds);
  std::vector<int> ends;
  for (size_t i = 0; i < sockets.size(); ++i) {
    const short seen = fds[i].revents;
    if (seen == 0) {
      ends.push_back(kConnectRunning);
      continue;
    }
    int error = posix::PendingError(fds[i].fd);
    if (error == 0 && !(seen & POLLOUT)) error = ECONNABORTED;
    ends.push_back(error == 0 ? 0 : posix::WinsockErrorOf(error));
  }
  return ends;
}

}  // namespace detail

}  // namespace platform
