#pragma once
// IPv4 and IPv6 stream sockets in asynchronous mode, WinSock style:
// readiness and lookup completions arrive as messages at a notification
// window, and every failure is told as a WinSock error number (10035 would
// block, 10054 reset, 10061 refused, ...) on every platform.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/Messages.h"

namespace platform {

using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
inline constexpr int kSocketError = -1;
inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;  // what InetAddr gives for "not dotted"

enum class AddressFamily : std::uint8_t { kNone, kIPv4, kIPv6 };

/// An IPv4 or IPv6 end point, in no system's own layout.
struct SocketAddress {
  AddressFamily family = AddressFamily::kNone;
  std::uint16_t port = 0;                // host order
  std::array<std::uint8_t, 16> bytes{};  // network order; an IPv4 address takes the first four
  std::uint32_t scope = 0;               // an IPv6 address's zone (the interface of a link-local one)

  bool operator==(const SocketAddress&) const = default;
  /// All bytes of the address are zero: "any", which names no server.
  bool Unspecified() const {
    for (const std::uint8_t byte : bytes) {
      if (byte != 0) return false;
    }
    return true;
  }
};

/// The IPv4 end point of address (network byte order, as InetAddr gives it) and port.
inline SocketAddress IPv4Address(std::uint32_t address, std::uint16_t port = 0) {
  SocketAddress result{AddressFamily::kIPv4, port, {}, 0};
  std::memcpy(result.bytes.data(), &address, sizeof address);
  return result;
}

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

/// A stream socket of family (IPv4 or IPv6) with TCP_NODELAY set, so that a
/// short line goes out at once; kInvalidSocket on failure (an IPv6 socket
/// where the system has no IPv6: 10047).
SocketHandle CreateStreamSocket(int protocol, AddressFamily family = AddressFamily::kIPv4);
/// SO_LINGER; 0 or kSocketError.
int SetLinger(SocketHandle socket, bool on, std::uint16_t seconds);
/// Switches the socket to asynchronous mode: each event of events becomes
/// message (wParam the socket, lParam event | error << 16) at window. An
/// event is posted once and again only after the socket was read (or, for
/// close, once). 0 or kSocketError.
int AsyncSelect(SocketHandle socket, WindowHandle window, std::uint32_t message, std::int32_t events);
/// Starts connecting to remote, whose family must be the socket's; on an
/// asynchronous socket it fails with 10035 and the end arrives as the
/// connect event.
int ConnectSocket(SocketHandle socket, const SocketAddress& remote);
/// Bytes sent, or kSocketError. Writing to a socket the peer closed gives an
/// error number, never a signal.
int SendOnSocket(SocketHandle socket, const void* data, int length);
/// Bytes received (0: closed by the peer), or kSocketError; peek leaves them waiting.
int ReceiveOnSocket(SocketHandle socket, void* buffer, int length, bool peek);
/// Closes the socket and discards its notifications still waiting in the
/// queue: the next socket may get the same handle, and an old close event
/// must not reach it.
int CloseSocket(SocketHandle socket);
/// Accepts a waiting connection; fills the peer's end point where peer is
/// not null. The new socket inherits the asynchronous registration of the
/// listening one. kInvalidSocket on failure.
SocketHandle AcceptOnSocket(SocketHandle socket, SocketAddress* peer);
/// inet_addr: the address of a dotted text, kNoAddress when it is none.
std::uint32_t InetAddr(const char* text);
/// The IPv6 address that text writes in its textual form ("2001:db8::25",
/// "fe80::1%2"), without brackets; nullopt for any other text.
std::optional<SocketAddress> IPv6Literal(const char* text);
/// The address of address as text: "192.0.2.7", "2001:db8::7" (no port,
/// no brackets); empty for no address.
std::string AddressText(const SocketAddress& address);

/// The address that text writes: a dotted IPv4 address (as InetAddr reads
/// it) or an IPv6 address; nullopt for a name.
inline std::optional<SocketAddress> AddressOfLiteral(const char* text) {
  if (const std::uint32_t address = InetAddr(text); address != kNoAddress) return IPv4Address(address);
  return IPv6Literal(text);
}

/// The address of length bytes in network order: 4 for IPv4, 16 for IPv6
/// (as a certificate's IP entries hold them); family kNone for any other length.
inline SocketAddress AddressOfBytes(const unsigned char* bytes, std::size_t length) {
  SocketAddress address;
  if (length != 4 && length != 16) return address;
  address.family = length == 4 ? AddressFamily::kIPv4 : AddressFamily::kIPv6;
  std::memcpy(address.bytes.data(), bytes, length);
  return address;
}

/// The bytes of address that an IP entry of a certificate holds: 4 or 16.
inline std::size_t AddressLength(const SocketAddress& address) {
  return address.family == AddressFamily::kIPv6 ? 16 : address.family == AddressFamily::kIPv4 ? 4 : 0;
}
/// The end point of the socket's own side; family kNone when it has none
/// (not bound or connected).
SocketAddress LocalAddressOf(SocketHandle socket);
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

/// Room for the host entry of any lookup a server name needs.
inline constexpr int kMaxHostEntry = 1024;

/// Starts an asynchronous lookup (getaddrinfo) of the IPv6 and IPv4
/// addresses of name. Its end is message at window with the error number
/// in the high 16 bits of lParam (0: found; 11001 not found, 11002 try
/// again, 10055 buffer too small) and in the low 16 bits the bytes of the
/// host entry (the bytes it needs when the buffer was too small). Before
/// that message is delivered, the host entry is written into buffer (length
/// bytes) on window's thread; a lookup whose window was destroyed meanwhile
/// touches nothing and sends nothing. The entry holds the addresses in the
/// order the resolver gives them (its preference: the order to try them
/// in), each once, as many as buffer holds (the error is only for a buffer
/// too small for one). False when the lookup cannot be started.
bool AsyncLookupHost(WindowHandle window, std::uint32_t message, const char* name, char* buffer, int length);
/// The addresses (port 0) of a host entry written by AsyncLookupHost, in its
/// order; none when the entry holds none. buffer needs no alignment.
std::vector<SocketAddress> AddressesOfHostEntry(const char* buffer);

}  // namespace platform
