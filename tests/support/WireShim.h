#pragma once
// The few blocking socket calls the scripted test server needs, the same on
// BSD sockets and WinSock. Test code only: the program itself reaches
// sockets through src/platform.

#include <cstdint>
#include <string>

namespace testserver::wire {

#ifdef _WIN32
using Socket = std::uintptr_t;
#else
using Socket = int;
#endif
extern const Socket kNoSocket;

/// Starts the sockets library for the caller (counted; pair with Cleanup).
void Startup();
void Cleanup();

/// A listener on 127.0.0.1 (::1 with ipv6) at an ephemeral port, which is
/// stored in port. Without listening the socket is only bound, so that
/// connections to the port are refused until StartListening. kNoSocket on failure.
Socket Listen(std::uint16_t& port, bool ipv6 = false, bool listening = true);
bool StartListening(Socket listener);
/// True when socket becomes readable (or has a pending connection, or the
/// peer closed) within milliseconds.
bool WaitReadable(Socket socket, int milliseconds);
bool WaitWritable(Socket socket, int milliseconds);
Socket AcceptOne(Socket listener);
/// A blocking client connection to 127.0.0.1:port; kNoSocket on failure.
Socket ConnectLoopback(std::uint16_t port);
void SetNoDelay(Socket socket);
/// Bytes sent or received, 0 for a close by the peer, negative for an error;
/// a send never raises a signal.
int Send(Socket socket, const char* data, int length);
int Receive(Socket socket, char* buffer, int length);
void ShutdownSend(Socket socket);
void Close(Socket socket);
/// Closes with linger on and 0 seconds: the peer sees a reset.
void Reset(Socket socket);

}  // namespace testserver::wire
