#include "platform/Loopback.h"

#include <winsock2.h>

#include <string>

namespace platform {
namespace {

/// True when socket becomes readable within milliseconds.
bool ReadableWithin(SOCKET socket, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
  return ::select(0, &readable, nullptr, nullptr, &wait) > 0;
}

}  // namespace

LoopbackListener::LoopbackListener() {
  WSADATA started{};
  // Counted: this start is ended in the destructor, whoever else uses WinSock.
  if (::WSAStartup(MAKEWORD(2, 2), &started) != 0) throw LoopbackError("WinSock cannot start");
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  socket_ = static_cast<std::intptr_t>(listener);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (listener == INVALID_SOCKET || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = ::WSAGetLastError();
    if (listener != INVALID_SOCKET) ::closesocket(listener);
    ::WSACleanup();
    throw LoopbackError("no listener on 127.0.0.1: WinSock error " + std::to_string(error));
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  ::closesocket(static_cast<SOCKET>(socket_));
  ::WSACleanup();
}

ConnectionHandle LoopbackListener::Accept(int milliseconds) {
  const auto listener = static_cast<SOCKET>(socket_);
  if (!ReadableWithin(listener, milliseconds)) return kNoConnection;
  const SOCKET connection = ::accept(listener, nullptr, nullptr);
  return connection == INVALID_SOCKET ? kNoConnection : static_cast<ConnectionHandle>(connection);
}

int ReceiveFrom(ConnectionHandle connection, char* buffer, int size, int milliseconds) {
  const auto socket = static_cast<SOCKET>(connection);
  if (!ReadableWithin(socket, milliseconds)) return -1;
  return ::recv(socket, buffer, size, 0);
}

bool SendTo(ConnectionHandle connection, std::string_view data) {
  while (!data.empty()) {
    const int n = ::send(static_cast<SOCKET>(connection), data.data(), static_cast<int>(data.size()), 0);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void CloseConnection(ConnectionHandle connection) { ::closesocket(static_cast<SOCKET>(connection)); }

}  // namespace platform
