#include "support/WireShim.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstring>

namespace testserver::wire {

#ifdef _WIN32
const Socket kNoSocket = INVALID_SOCKET;
using NativeSocket = SOCKET;
using AddrLen = int;
constexpr int kSendFlags = 0;

void Startup() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}
void Cleanup() { WSACleanup(); }

static bool WaitFor(Socket socket, int milliseconds, bool write) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(socket), &set);
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &limit) > 0;
}
void Close(Socket socket) { closesocket(static_cast<SOCKET>(socket)); }
void ShutdownSend(Socket socket) { shutdown(static_cast<SOCKET>(socket), SD_SEND); }
#else
const Socket kNoSocket = -1;
using NativeSocket = int;
using AddrLen = socklen_t;
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

void Startup() {}
void Cleanup() {}

static bool WaitFor(Socket socket, int milliseconds, bool write) {
  pollfd entry{socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  return poll(&entry, 1, milliseconds) > 0;
}
void Close(Socket socket) { close(socket); }
void ShutdownSend(Socket socket) { shutdown(socket, SHUT_WR); }
#endif

static sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

Socket Listen(std::uint16_t& port, bool ipv6, bool listening) {
  const NativeSocket listener = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (static_cast<Socket>(listener) == kNoSocket) return kNoSocket;
  sockaddr_storage address{};
  AddrLen length = 0;
  if (ipv6) {
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    std::memcpy(&address, &loopback, sizeof loopback);
    length = sizeof loopback;
  } else {
    const sockaddr_in loopback = Loopback(0);
    std::memcpy(&address, &loopback, sizeof loopback);
    length = sizeof loopback;
  }
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      (listening && listen(listener, 8) != 0) ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Close(static_cast<Socket>(listener));
    return kNoSocket;
  }
  // The port stands at the same place in both families' addresses.
  port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return static_cast<Socket>(listener);
}

bool StartListening(Socket listener) { return listen(static_cast<NativeSocket>(listener), 8) == 0; }

bool WaitReadable(Socket socket, int milliseconds) { return WaitFor(socket, milliseconds, false); }
bool WaitWritable(Socket socket, int milliseconds) { return WaitFor(socket, milliseconds, true); }

Socket AcceptOne(Socket listener) {
  return static_cast<Socket>(accept(static_cast<NativeSocket>(listener), nullptr, nullptr));
}

Socket ConnectLoopback(std::uint16_t port) {
  const NativeSocket client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (static_cast<Socket>(client) == kNoSocket) return kNoSocket;
  sockaddr_in address = Loopback(port);
  if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close(static_cast<Socket>(client));
    return kNoSocket;
  }
  return static_cast<Socket>(client);
}

void SetNoDelay(Socket socket) {
  int on = 1;
  setsockopt(static_cast<NativeSocket>(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
}

int Send(Socket socket, const char* data, int length) {
  return static_cast<int>(send(static_cast<NativeSocket>(socket), data, length, kSendFlags));
}

int Receive(Socket socket, char* buffer, int length) {
  return static_cast<int>(recv(static_cast<NativeSocket>(socket), buffer, length, 0));
}

void Reset(Socket socket) {
  linger option{1, 0};
  setsockopt(static_cast<NativeSocket>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
             sizeof option);
  Close(socket);
}

}  // namespace testserver::wire
