#pragma once
// IPv4 stream sockets in asynchronous mode, WinSock 1.1 style: readiness and
// lookup completions arrive as messages at a notification window, and every
// failure is told as a WinSock error number (10035 would block, 10054 reset,
// 10061 refused, ...) on every platform.

#include <cstdint>
#include <string>

#include "platform/Messages.h"

namespace platform {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
inline constexpr int kSocketError = -1;
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;  // what InetAddr gives for "not dotted"

/// Event codes in the low 16 bits of a socket notification's lParam; the
/// high 16 bits carry the event's error number (0 = none).
enum SocketEvent : std::uint16_t {
  kEventRead = 1,
  kEventWrite = 2,
  kEventOob = 4,
  kEventAccept = 8,
  kEventConnect = 16,
  kEventClose = 32,
};

/// What the WinSock start-up reports (WSADATA).
struct SocketsStartupData {
  std::uint16_t version = 0;       // major in the low byte, minor in the high byte
  std::uint16_t highVersion = 0;
  std::string description;
  std::string systemStatus;
  std::uint16_t maxSockets = 0;
  std::uint16_t maxUdpDatagram = 0;
};

/// WSAStartup for version 1.1; returns its result (0 = started).
int StartupSockets(SocketsStartupData& data);
void CleanupSockets();
/// The error number of the calling thread's last failed socket call.
int LastSocketError();
/// Makes error the calling thread's last socket error, for a layer above
/// the socket that reports its own results as the socket calls do.
void SetLastSocketError(int error);

/// socket(AF_INET, SOCK_STREAM, protocol) with TCP_NODELAY set, so that a
/// short line goes out at once; kInvalidSocket on failure.
SocketHandle CreateStreamSocket(int protocol);
/// SO_LINGER; 0 or kSocketError.
int SetLinger(SocketHandle socket, bool on, std::uint16_t seconds);
/// Switches the socket to asynchronous mode: each event of events becomes
/// message (wParam the socket, lParam event | error << 16) at window. An
/// event is posted once and again only after the socket was read (or, for
/// close, once). 0 or kSocketError.
int AsyncSelect(SocketHandle socket, WindowHandle window, std::uint32_t message, std::int32_t events);
/// Starts connecting to address (network byte order) and port (host order);
/// on an asynchronous socket it fails with 10035 and the end arrives as the
/// connect event.
int ConnectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port);
/// Bytes sent, or kSocketError. Writing to a socket the peer closed gives an
/// error number, never a signal.
int SendOnSocket(SocketHandle socket, const void* data, int length);
/// Bytes received (0: closed by the peer), or kSocketError; peek leaves them waiting.
int ReceiveOnSocket(SocketHandle socket, void* buffer, int length, bool peek);
/// Closes the socket and discards its notifications still waiting in the
/// queue: the next socket may get the same handle, and an old close event
/// must not reach it.
int CloseSocket(SocketHandle socket);
/// Accepts a waiting connection; fills the peer's address (network byte
/// order) and port (host order) where the pointers are not null. The new
/// socket inherits the asynchronous registration of the listening one.
/// kInvalidSocket on failure.
SocketHandle AcceptOnSocket(SocketHandle socket, std::uint32_t* address, std::uint16_t* port);
/// inet_addr: the address of a dotted text, kNoAddress when it is none.
std::uint32_t InetAddr(const char* text);
/// The IPv4 address (network byte order) of the socket's own end; 0 when it
/// has none (not bound or connected).
std::uint32_t LocalAddressOf(SocketHandle socket);
/// This machine's fully qualified domain name (host name and domain, as
/// the system's own settings or its resolver give it); empty when the
/// system knows no name with a domain. May ask the resolver and wait for it.
std::string FullyQualifiedHostName();

/// Readiness that WaitForSocketOrMessage waits for.
enum class SocketWait { kReadable, kWritable };
/// Blocks the calling thread until the socket is ready as asked, a message
/// is waiting in the thread's queue (timers included), or maxMilliseconds
/// have passed, whichever comes first. Dispatches nothing. Lets the waiting
/// loops sleep instead of spinning.
void WaitForSocketOrMessage(SocketHandle socket, SocketWait what, std::uint32_t maxMilliseconds);

/// Room that always holds a host entry (MAXGETHOSTSTRUCT).
inline constexpr int kMaxHostEntry = 1024;

/// Starts an asynchronous lookup of the IPv4 addresses of name. Its end is
/// message at window with the error number in the high 16 bits of lParam
/// (0: found; 11001 not found, 11002 try again, 10055 buffer too small) and
/// in the low 16 bits the bytes of the host entry (the bytes it needs when
/// the buffer was too small). Before that message is delivered, the host
/// entry is written into buffer (length bytes) on window's thread; a lookup
/// whose window was destroyed meanwhile touches nothing and sends nothing.
/// The entry is laid out as the system's hostent (a HOSTENT on Windows) with
/// every pointer into buffer. False when the lookup cannot be started.
bool AsyncLookupHost(WindowHandle window, std::uint32_t message, const char* name, char* buffer, int length);
/// The first address (network byte order) in a host entry written by
/// AsyncLookupHost; 0 when the entry holds none. buffer needs no alignment.
std::uint32_t FirstAddressOfHostEntry(const char* buffer);

}  // namespace platform
