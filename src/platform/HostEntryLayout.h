#pragma once
// Shared by both backends: the host entry that a lookup leaves in its
// caller's buffer (the number of addresses, then each address as a
// SocketAddress, written and read with memcpy, so the caller's buffer needs
// no particular alignment), and SocketAddress to and from the system's
// sockaddr_in, sockaddr_in6 and getaddrinfo's list.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/Sockets.h"

namespace platform::detail {

/// Bytes the entry of count addresses takes in a buffer.
inline std::size_t HostEntrySize(std::size_t count) { return sizeof(std::uint32_t) + count * sizeof(SocketAddress); }

/// Lays out in buffer as many of addresses as length holds, in their order.
/// Returns the bytes used, or 0 when not even one address fits, in which
/// case buffer is left untouched.
inline std::size_t WriteHostEntry(const std::vector<SocketAddress>& addresses, char* buffer, std::size_t length) {
  if (length < HostEntrySize(1) || addresses.empty()) return 0;
  const auto count = static_cast<std::uint32_t>(
      std::min(addresses.size(), (length - sizeof(std::uint32_t)) / sizeof(SocketAddress)));
  std::memcpy(buffer, &count, sizeof count);
  std::memcpy(buffer + sizeof count, addresses.data(), count * sizeof(SocketAddress));
  return HostEntrySize(count);
}

/// The addresses of the entry at the start of buffer.
inline std::vector<SocketAddress> ReadHostEntry(const char* buffer) {
  std::uint32_t count = 0;
  std::memcpy(&count, buffer, sizeof count);
  std::vector<SocketAddress> addresses(count);
  if (count > 0) std::memcpy(addresses.data(), buffer + sizeof count, count * sizeof(SocketAddress));
  return addresses;
}

/// Appends address to addresses unless it stands there already (a resolver
/// gives an address once per socket type and protocol).
inline void AddOnce(std::vector<SocketAddress>& addresses, const SocketAddress& address) {
  if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
}

/// port's two bytes in network order.
inline std::array<unsigned char, 2> NetworkPort(std::uint16_t port) {
  return {static_cast<unsigned char>(port >> 8), static_cast<unsigned char>(port & 0xFF)};
}

/// address as the system's sockaddr_in or sockaddr_in6 (In4, In6, with
/// their families' numbers) in storage; returns its length, 0 for no address.
template <class In4, class In6, class Storage>
int ToSystemAddress(const SocketAddress& address, Storage& storage, int familyIPv4, int familyIPv6) {
  storage = {};
  const std::array<unsigned char, 2> port = NetworkPort(address.port);
  if (address.family == AddressFamily::kIPv4) {
    In4 in{};
    in.sin_family = static_cast<decltype(in.sin_family)>(familyIPv4);
    std::memcpy(&in.sin_port, port.data(), port.size());
    std::memcpy(&in.sin_addr, address.bytes.data(), 4);
    std::memcpy(&storage, &in, sizeof in);
    return sizeof in;
  }
  if (address.family == AddressFamily::kIPv6) {
    In6 in{};
    in.sin6_family = static_cast<decltype(in.sin6_family)>(familyIPv6);
    std::memcpy(&in.sin6_port, port.data(), port.size());
    std::memcpy(&in.sin6_addr, address.bytes.data(), 16);
    in.sin6_scope_id = address.scope;
    std::memcpy(&storage, &in, sizeof in);
    return sizeof in;
  }
  return 0;
}

/// The end point in a system's sockaddr_in or sockaddr_in6 (In4, In6),
/// whose family is family; family kNone for any other family.
template <class In4, class In6>
SocketAddress FromSystemAddress(const void* system, int family, int familyIPv4, int familyIPv6) {
  SocketAddress address;
  unsigned char port[2] = {};
  if (family == familyIPv4) {
    In4 in;
    std::memcpy(&in, system, sizeof in);
    address.family = AddressFamily::kIPv4;
    std::memcpy(port, &in.sin_port, sizeof port);
    std::memcpy(address.bytes.data(), &in.sin_addr, 4);
  } else if (family == familyIPv6) {
    In6 in;
    std::memcpy(&in, system, sizeof in);
    address.family = AddressFamily::kIPv6;
    std::memcpy(port, &in.sin6_port, sizeof port);
    std::memcpy(address.bytes.data(), &in.sin6_addr, 16);
    address.scope = in.sin6_scope_id;
  }
  address.port = static_cast<std::uint16_t>((port[0] << 8) | port[1]);
  return address;
}

/// The addresses of the system's getaddrinfo list (AddrInfo: its addrinfo),
/// in the list's order, each once.
template <class In4, class In6, class AddrInfo>
std::vector<SocketAddress> AddressesOfList(const AddrInfo* list, int familyIPv4, int familyIPv6) {
  std::vector<SocketAddress> addresses;
  for (const AddrInfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    const SocketAddress address =
        FromSystemAddress<In4, In6>(entry->ai_addr, entry->ai_family, familyIPv4, familyIPv6);
    if (address.family != AddressFamily::kNone) AddOnce(addresses, address);
  }
  return addresses;
}

}  // namespace platform::detail
