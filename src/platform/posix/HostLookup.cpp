#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/HostEntryLayout.h"
#include "platform/Sockets.h"
#include "platform/posix/SocketErrors.h"
#include "platform/posix/ThreadQueue.h"

namespace platform {
namespace {

constexpr int kBadAddress = 10014;
constexpr int kInvalidArgument = 10022;
constexpr int kNoBufferSpace = 10055;
constexpr int kHostNotFound = 11001;

struct Lookup {
  std::vector<SocketAddress> addresses;
  int error = 0;  // WinSock number
};

Lookup Resolve(const std::string& name) {
  Lookup lookup;
  // An empty name would be the local host to the resolver; a server named
  // by nothing is better not found at all.
  if (name.empty()) {
    lookup.error = kHostNotFound;
    return lookup;
  }
  // Both families, in the resolver's order of preference (RFC 6724); no
  // AI_ADDRCONFIG, which would hide ::1 on a machine without a global IPv6 address.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    lookup.error = posix::WinsockErrorOfLookup(status, errno);
    return lookup;
  }
  lookup.addresses = detail::AddressesOfList<sockaddr_in, sockaddr_in6>(found, AF_INET, AF_INET6);
  ::freeaddrinfo(found);
  if (lookup.addresses.empty()) lookup.error = kHostNotFound;
  return lookup;
}

/// Writes the entry into the caller's buffer; the lParam of the completion.
std::intptr_t Deliver(const Lookup& lookup, char* buffer, int length) {
  if (lookup.error != 0) return static_cast<std::intptr_t>(lookup.error) << 16;
  const std::size_t written = detail::WriteHostEntry(lookup.addresses, buffer, static_cast<std::size_t>(length));
  if (written == 0) {
    return (static_cast<std::intptr_t>(kNoBufferSpace) << 16) | static_cast<std::intptr_t>(detail::HostEntrySize(1));
  }
  return static_cast<std::intptr_t>(written & 0xFFFF);
}

}  // namespace

bool AsyncLookupHost(WindowHandle window, std::uint32_t message, const char* name, char* buffer, int length) {
  if (name == nullptr || buffer == nullptr || length < 0) {
    posix::SetLastSocketError(kBadAddress);
    return false;
  }
  auto queue = posix::QueueOfWindow(window);
  if (!queue) {
    posix::SetLastSocketError(kInvalidArgument);
    return false;
  }
  // The worker owns a copy of the name and a share of the queue, and never
  // touches buffer: the entry is written on the window's thread at dispatch,
  // which does not happen once the window is gone.
  try {
    std::thread([queue = std::move(queue), window, message, name = std::string(name), buffer, length] {
      auto lookup = std::make_shared<const Lookup>(Resolve(name));
      queue->Post({window, message, 0, 0, [lookup, buffer, length] { return Deliver(*lookup, buffer, length); }});
    }).detach();
  } catch (const std::system_error&) {
    posix::SetLastSocketError(kNoBufferSpace);
    return false;
  }
  return true;
}

std::string FullyQualifiedHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  std::string host = name;
  if (host.find('.') != std::string::npos) return host;
  // A bare host name: its canonical name (from the hosts file or DNS) may carry the domain.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
  std::string canonical = found->ai_canonname != nullptr ? found->ai_canonname : "";
  ::freeaddrinfo(found);
  return canonical.find('.') != std::string::npos ? canonical : std::string();
}

std::vector<SocketAddress> AddressesOfHostEntry(const char* buffer) {
  return buffer == nullptr ? std::vector<SocketAddress>{} : detail::ReadHostEntry(buffer);
}

}  // namespace platform
