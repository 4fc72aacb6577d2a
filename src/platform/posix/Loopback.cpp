#include "platform/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace platform {
namespace {

/// True when fd becomes readable within milliseconds.
bool ReadableWithin(int fd, int milliseconds) {
  pollfd wanted{fd, POLLIN, 0};
  int result;
  do {
    result = ::poll(&wanted, 1, milliseconds);
  } while (result < 0 && errno == EINTR);
  return result > 0;
}

}  // namespace

LoopbackListener::LoopbackListener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (socket_ < 0) throw LoopbackError(std::string("no socket: ") + std::strerror(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const int fd = static_cast<int>(socket_);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string reason = std::strerror(errno);
    ::close(fd);
    throw LoopbackError("no listener on 127.0.0.1: " + reason);
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(static_cast<int>(socket_)); }

ConnectionHandle LoopbackListener::Accept(int milliseconds) {
  if (!ReadableWithin(static_cast<int>(socket_), milliseconds)) return kNoConnection;
  const int connection = ::accept4(static_cast<int>(socket_), nullptr, nullptr, SOCK_CLOEXEC);
  return connection < 0 ? kNoConnection : connection;
}

int ReceiveFrom(ConnectionHandle connection, char* buffer, int size, int milliseconds) {
  const int fd = static_cast<int>(connection);
  if (!ReadableWithin(fd, milliseconds)) return -1;
  ssize_t n;
  do {
    n = ::recv(fd, buffer, static_cast<size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}

bool SendTo(ConnectionHandle connection, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(static_cast<int>(connection), data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void CloseConnection(ConnectionHandle connection) { ::close(static_cast<int>(connection)); }

}  // namespace platform
