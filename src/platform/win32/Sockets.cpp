#include "platform/Sockets.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

// select() cannot see window messages, so a wait for writing looks at the
// queue between slices of this length.
constexpr DWORD kWriteWaitSlice = 10;

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

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

/// True when socket became writable (or its connect failed) within milliseconds.
bool WritableWithin(SocketHandle socket, DWORD milliseconds) {
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Native(socket), &writable);
  FD_SET(Native(socket), &failed);
  timeval limit{static_cast<long>(milliseconds / 1000), static_cast<long>((milliseconds % 1000) * 1000)};
  return ::select(0, nullptr, &writable, &failed, &limit) != 0;  // ready, or an error that a wait cannot cure
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

SocketHandle CreateStreamSocket(int protocol) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, protocol);
  if (s != INVALID_SOCKET) {
    // A dialogue of short lines must not wait for delayed acknowledgements.
    const BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
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

int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = ::htons(port);
  remote.sin_addr.s_addr = address;
  return Result(::connect(Native(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote));
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

SocketHandle AcceptOnSocket(SocketHandle socket, std::uint32_t* address, std::uint16_t* port) {
  sockaddr_in peer{};
  int length = sizeof peer;
  const SOCKET accepted = ::accept(Native(socket), reinterpret_cast<sockaddr*>(&peer), &length);
  if (accepted == INVALID_SOCKET) return kInvalidSocket;
  if (address != nullptr) *address = peer.sin_addr.s_addr;
  if (port != nullptr) *port = ::ntohs(peer.sin_port);
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

std::uint32_t LocalAddressOf(SocketHandle socket) {
  sockaddr_in own{};
  int length = sizeof own;
  if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&own), &length) != 0) return 0;
  return own.sin_family == AF_INET ? own.sin_addr.s_addr : 0;
}

void WaitForSocketOrMessage(SocketHandle socket, SocketWait what, std::uint32_t maxMilliseconds) {
  if (what == SocketWait::kReadable || socket == kInvalidSocket) {
    // Arriving data is the read notification, a posted message.
    ::MsgWaitForMultipleObjectsEx(0, nullptr, maxMilliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(maxMilliseconds);
  for (;;) {
    if (MessageWaiting()) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return;
    if (WritableWithin(socket, static_cast<DWORD>(std::min<long long>(left, kWriteWaitSlice)))) return;
  }
}

}  // namespace platform
