#include "platform/Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/FastFallback.h"
#include "platform/HostEntryLayout.h"

namespace platform {
namespace {

// select() cannot see window messages, so a wait for writing looks at the
// queue between slices of this length.
constexpr DWORD kWriteWaitSlice = 10;

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

/// remote as WinSock's socket address in storage; its length.
int SystemAddress(const SocketAddress& remote, sockaddr_storage& storage) {
  return detail::ToSystemAddress<sockaddr_in, sockaddr_in6>(remote, storage, AF_INET, AF_INET6);
}

SocketAddress FromSystem(const sockaddr_storage& storage) {
  return detail::FromSystemAddress<sockaddr_in, sockaddr_in6>(&storage, storage.ss_family, AF_INET, AF_INET6);
}

int Result(int result) { return result == SOCKET_ERROR ? kSocketError : result; }

/// Where each asynchronous socket's notifications go, so that closing it can
/// take its waiting notifications out of the queue.
struct Registration {
  HWND window;
  UINT message;
};
std::mutex g_registrationsMutex;
std::unordered_map<SOCKET, Registration> g_registrations;

void Register(SOCKET socket, HWND window, UINT message, std::int32_t events) {
  std::lock_guard lock(g_registrationsMutex);
  if (events != 0 && window != nullptr) g_registrations[socket] = {window, message};
  else g_registrations.erase(socket);
}

/// Removes the waiting notifications of socket from the calling thread's
/// queue; those of other sockets for the same window go back in order.
void DiscardNotifications(SOCKET socket, const Registration& registration) {
  std::vector<MSG> others;
  MSG msg;
  while (::PeekMessageA(&msg, registration.window, registration.message, registration.message, PM_REMOVE)) {
    if (msg.wParam != socket) others.push_back(msg);
  }
  for (const MSG& other : others) ::PostMessageA(other.hwnd, other.message, other.wParam, other.lParam);
}

bool MessageWaiting() { return HIWORD(::GetQueueStatus(QS_ALLINPUT)) != 0; }

/// Waits up to milliseconds for one of sockets to become writable (its
/// connect ended) or to fail; writable and failed tell which did. False
/// when none did.
bool SelectWritable(const std::vector<SocketHandle>& sockets, DWORD milliseconds, fd_set& writable, fd_set& failed) {
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  for (const SocketHandle socket : sockets) {
    FD_SET(Native(socket), &writable);
    FD_SET(Native(socket), &failed);
  }
  timeval limit{static_cast<long>(milliseconds / 1000), static_cast<long>((milliseconds % 1000) * 1000)};
  return ::select(0, nullptr, &writable, &failed, &limit) != 0;  // ready, or an error that a wait cannot cure
}

/// Waits up to maxMilliseconds for one of sockets to become writable or
/// fail, or a message to wait; looks at the sockets once even when a
/// message waits already. select() cannot see window messages, so the
/// queue is looked at between slices.
void WaitWritableOrMessage(const std::vector<SocketHandle>& sockets, std::uint32_t maxMilliseconds, fd_set& writable,
                           fd_set& failed) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(maxMilliseconds);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    const DWORD slice = MessageWaiting() || left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, kWriteWaitSlice));
    if (SelectWritable(sockets, slice, writable, failed) || slice == 0) return;
  }
}

}  // namespace

int StartupSockets(SocketsStartupData& data) {
  WSADATA record{};
  const int result = ::WSAStartup(MAKEWORD(1, 1), &record);
  data.version = record.wVersion;
  data.highVersion = record.wHighVersion;
  data.description = record.szDescription;
  data.systemStatus = record.szSystemStatus;
  data.maxSockets = record.iMaxSockets;
  data.maxUdpDatagram = record.iMaxUdpDg;
  return result;
}

void CleanupSockets() { ::WSACleanup(); }

int LastSocketError() { return ::WSAGetLastError(); }

void SetLastSocketError(int error) { ::WSASetLastError(error); }

SocketHandle CreateStreamSocket(int protocol, AddressFamily family) {
  const SOCKET s = ::socket(family == AddressFamily::kIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM, protocol);
  if (s != INVALID_SOCKET) {
    // A dialogue of short lines must not wait for delayed acknowledgements.
    const BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    // Keep-alive probes after a minute of silence, every 15 s: a peer that
    // vanished ends a long wait as a reset instead of never.
    tcp_keepalive keepAlive{1, 60 * 1000, 15 * 1000};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr, nullptr);
  }
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

int SetLinger(SocketHandle socket, bool on, std::uint16_t seconds) {
  const linger value{static_cast<u_short>(on ? 1 : 0), seconds};
  return Result(::setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value));
}

int AsyncSelect(SocketHandle socket, WindowHandle window, std::uint32_t message, std::int32_t events) {
  const int result = Result(::WSAAsyncSelect(Native(socket), reinterpret_cast<HWND>(window), message, events));
  if (result != kSocketError) Register(Native(socket), reinterpret_cast<HWND>(window), message, events);
  return result;
}

int ConnectSocket(SocketHandle socket, const SocketAddress& address) {
  sockaddr_storage remote{};
  const int length = SystemAddress(address, remote);
  return Result(::connect(Native(socket), reinterpret_cast<const sockaddr*>(&remote), length));
}

int SendOnSocket(SocketHandle socket, const void* data, int length) {
  return Result(::send(Native(socket), static_cast<const char*>(data), length, 0));
}

int ReceiveOnSocket(SocketHandle socket, void* buffer, int length, bool peek) {
  return Result(::recv(Native(socket), static_cast<char*>(buffer), length, peek ? MSG_PEEK : 0));
}

int CloseSocket(SocketHandle socket) {
  Registration registration{};
  bool registered = false;
  {
    std::lock_guard lock(g_registrationsMutex);
    if (const auto found = g_registrations.find(Native(socket)); found != g_registrations.end()) {
      registration = found->second;
      registered = true;
      g_registrations.erase(found);
    }
  }
  if (registered) ::WSAAsyncSelect(Native(socket), registration.window, 0, 0);  // no new notifications
  const int result = Result(::closesocket(Native(socket)));
  if (registered) {
    const int error = ::WSAGetLastError();
    DiscardNotifications(Native(socket), registration);
    ::WSASetLastError(error);
  }
  return result;
}

SocketHandle AcceptOnSocket(SocketHandle socket, SocketAddress* peerAddress) {
  sockaddr_storage peer{};
  int length = sizeof peer;
  const SOCKET accepted = ::accept(Native(socket), reinterpret_cast<sockaddr*>(&peer), &length);
  if (accepted == INVALID_SOCKET) return kInvalidSocket;
  if (peerAddress != nullptr) *peerAddress = FromSystem(peer);
  {
    // The accepted socket inherits the listener's asynchronous registration.
    std::lock_guard lock(g_registrationsMutex);
    if (const auto found = g_registrations.find(Native(socket)); found != g_registrations.end()) {
      g_registrations[accepted] = found->second;
    }
  }
  return static_cast<SocketHandle>(accepted);
}

std::uint32_t InetAddr(const char* text) { return text == nullptr ? kNoAddress : ::inet_addr(text); }

std::optional<SocketAddress> IPv6Literal(const char* text) {
  // Brackets belong to a URL or a command line around the address, not to it.
  if (text == nullptr || std::strchr(text, ':') == nullptr || std::strpbrk(text, "[]") != nullptr) return std::nullopt;
  // getaddrinfo, unlike inet_pton, also takes a zone ("fe80::1%2"); a
  // numeric host never asks a name server.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (::getaddrinfo(text, nullptr, &hints, &found) != 0) return std::nullopt;
  sockaddr_storage storage{};
  std::memcpy(&storage, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof storage));
  ::freeaddrinfo(found);
  return FromSystem(storage);
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
  int length = sizeof own;
  if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&own), &length) != 0) return {};
  const SocketAddress address = FromSystem(own);
  return address.Unspecified() ? SocketAddress{} : address;  // not bound yet
}

void WaitForSocketOrMessage(SocketHandle socket, SocketWait what, std::uint32_t maxMilliseconds) {
  if (what == SocketWait::kReadable || socket == kInvalidSocket) {
    // Arriving data is the read notification, a posted message.
    ::MsgWaitForMultipleObjectsEx(0, nullptr, maxMilliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return;
  }
  fd_set writable;
  fd_set failed;
  WaitWritableOrMessage({socket}, maxMilliseconds, writable, failed);
}

namespace detail {

ConnectStart StartConnect(const SocketAddress& address) {
  const SocketHandle socket = CreateStreamSocket(0, address.family);
  if (socket == kInvalidSocket) return {kInvalidSocket, ::WSAGetLastError(), true};
  u_long nonBlocking = 1;
  sockaddr_storage remote{};
  const int length = SystemAddress(address, remote);
  if (::ioctlsocket(Native(socket), FIONBIO, &nonBlocking) == 0 &&
      (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&remote), length) == 0 ||
       ::WSAGetLastError() == WSAEWOULDBLOCK)) {
    return {socket, 0, false};
  }
  const int error = ::WSAGetLastError();
  CloseSocket(socket);
  return {kInvalidSocket, error, true};
}

std::vector<int> WaitForConnects(const std::vector<SocketHandle>& sockets, std::uint32_t maxMilliseconds) {
  fd_set writable;
  fd_set failed;
  WaitWritableOrMessage(sockets, maxMilliseconds, writable, failed);
  std::vector<int> ends;
  for (const SocketHandle socket : sockets) {
    int error = 0;
    int length = sizeof error;
    if (FD_ISSET(Native(socket), &failed)) {
      ::getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
      ends.push_back(error != 0 ? error : WSAECONNABORTED);
    } else {
      ends.push_back(FD_ISSET(Native(socket), &writable) ? 0 : kConnectRunning);
    }
  }
  return ends;
}

}  // namespace detail

}  // namespace platform
