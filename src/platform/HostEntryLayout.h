#pragma once
// The host entry that a lookup leaves in its caller's buffer, shared by both
// backends: the system's hostent record at the start of the buffer, followed
// by what it points to (an empty alias list, the address list, the addresses
// and the name), every pointer aimed into the buffer itself. Written and read
// with memcpy, so the caller's buffer needs no particular alignment.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace platform::detail {

/// What a lookup found: the official name and the IPv4 addresses (network byte order).
struct HostLookupResult {
  std::string name;
  std::vector<std::uint32_t> addresses;
};

/// Bytes the entry for result takes in a buffer.
template <class HostEnt>
std::size_t HostEntrySize(const HostLookupResult& result) {
  const std::size_t pointers = 1 + result.addresses.size() + 1;  // alias list end, addresses, list end
  return sizeof(HostEnt) + pointers * sizeof(char*) + result.addresses.size() * 4 + result.name.size() + 1;
}

/// Lays result out in buffer as a HostEnt (an AF_INET entry with 4-byte
/// addresses). Returns the bytes used, or 0 when length is too small, in
/// which case buffer is left untouched.
template <class HostEnt>
std::size_t WriteHostEntry(const HostLookupResult& result, char* buffer, std::size_t length) {
  const std::size_t size = HostEntrySize<HostEnt>(result);
  if (size > length) return 0;
  char* const aliases = buffer + sizeof(HostEnt);
  char* const addressList = aliases + sizeof(char*);
  char* const addresses = addressList + (result.addresses.size() + 1) * sizeof(char*);
  char* const name = addresses + result.addresses.size() * 4;

  const char* const none = nullptr;
  std::memcpy(aliases, &none, sizeof none);
  for (std::size_t i = 0; i < result.addresses.size(); ++i) {
    char* const address = addresses + i * 4;
    std::memcpy(address, &result.addresses[i], 4);
    std::memcpy(addressList + i * sizeof(char*), &address, sizeof address);
  }
  std::memcpy(addressList + result.addresses.size() * sizeof(char*), &none, sizeof none);
  std::memcpy(name, result.name.c_str(), result.name.size() + 1);

  HostEnt entry{};
  entry.h_name = name;
  entry.h_aliases = reinterpret_cast<char**>(aliases);
  entry.h_addrtype = 2;  // AF_INET on every system
  entry.h_length = 4;
  entry.h_addr_list = reinterpret_cast<char**>(addressList);
  std::memcpy(buffer, &entry, sizeof entry);
  return size;
}

/// The first address of the HostEnt at the start of buffer; 0 when it has none.
template <class HostEnt>
std::uint32_t FirstAddressOf(const char* buffer) {
  HostEnt entry;
  std::memcpy(&entry, buffer, sizeof entry);
  if (entry.h_addr_list == nullptr || entry.h_length != 4) return 0;
  const char* first = nullptr;
  std::memcpy(&first, entry.h_addr_list, sizeof first);
  if (first == nullptr) return 0;
  std::uint32_t address = 0;
  std::memcpy(&address, first, 4);
  return address;
}

}  // namespace platform::detail
