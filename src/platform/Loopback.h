#pragma once
// A listener on the loopback address for the one request a browser makes at
// the end of a sign-in (RFC 8252): 127.0.0.1 only, at a port the system
// picks. Blocking calls, each bounded by a wait.

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace platform {

/// No listener could be made; the text says why.
class LoopbackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using ConnectionHandle = std::intptr_t;
inline constexpr ConnectionHandle kNoConnection = -1;

/// The listening socket; closed with the object.
class LoopbackListener {
 public:
  /// Listens on 127.0.0.1 at a free port. Raises LoopbackError.
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  std::uint16_t Port() const { return port_; }
  /// The next connection, waiting at most milliseconds; kNoConnection when
  /// none came in that time. The caller closes it.
  ConnectionHandle Accept(int milliseconds);

 private:
  std::intptr_t socket_;
  std::uint16_t port_ = 0;
};

/// Receives at most size bytes, waiting at most milliseconds for the first;
/// returns their count, 0 when the peer closed, -1 after an error or when
/// nothing came in time.
int ReceiveFrom(ConnectionHandle connection, char* buffer, int size, int milliseconds);
/// Sends all of data; false when it could not.
bool SendTo(ConnectionHandle connection, std::string_view data);
void CloseConnection(ConnectionHandle connection);

}  // namespace platform
