#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/HostEntryLayout.h"
#include "platform/Sockets.h"
#include "platform/win32/LookupRelay.h"
#include "platform/win32/WindowClass.h"

// getaddrinfo blocks, so each lookup runs on a thread of its own, which may
// finish after the component that asked is gone. The thread hands its result
// to a relay window owned here; the relay copies the entry into the caller's
// buffer and sends the caller its message only while the caller's window
// exists.

namespace platform {
namespace win32 {
namespace {

constexpr UINT kRelayMessage = WM_USER + 1;
constexpr char kRelayClass[] = "MailshotLookupRelay";
constexpr int kHostNotFound = 11001;

/// What a lookup found: the addresses in the resolver's order, or the error.
struct Lookup {
  std::vector<SocketAddress> addresses;
  int error = 0;  // WinSock number; getaddrinfo gives those on Windows
};

struct PendingLookup {
  WindowHandle window;  // 0 once the window was destroyed
  std::uint32_t message;
  char* buffer;
  int length;
};

/// The lookups of one thread and the relay window their results reach.
struct Relay {
  HWND window = nullptr;
  WPARAM next = 0;
  std::unordered_map<WPARAM, PendingLookup> pending;
};

thread_local Relay relay;

Lookup Resolve(const std::string& name) {
  Lookup lookup;
  // Both families, in the resolver's order of preference (RFC 6724); no
  // AI_ADDRCONFIG, which would hide ::1 on a machine without a global IPv6 address.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  lookup.error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (lookup.error != 0) return lookup;
  lookup.addresses = detail::AddressesOfList<sockaddr_in, sockaddr_in6>(found, AF_INET, AF_INET6);
  ::freeaddrinfo(found);
  if (lookup.addresses.empty()) lookup.error = kHostNotFound;
  return lookup;
}

/// Writes the caller's copy of the entry; the lParam of the caller's message.
LPARAM Deliver(const PendingLookup& pending, const Lookup& lookup) {
  if (lookup.error != 0) return WSAMAKEASYNCREPLY(0, lookup.error);
  const std::size_t written =
      detail::WriteHostEntry(lookup.addresses, pending.buffer, static_cast<std::size_t>(pending.length));
  if (written == 0) return WSAMAKEASYNCREPLY(static_cast<WORD>(detail::HostEntrySize(1)), WSAENOBUFS);
  return WSAMAKEASYNCREPLY(static_cast<WORD>(written), 0);
}

LRESULT CALLBACK RelayProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kRelayMessage) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  const std::unique_ptr<Lookup> lookup(reinterpret_cast<Lookup*>(lParam));
  const auto found = relay.pending.find(wParam);
  if (found == relay.pending.end()) return 0;
  const PendingLookup pending = found->second;
  relay.pending.erase(found);
  if (pending.window != 0) {
    ::SendMessageA(reinterpret_cast<HWND>(pending.window), pending.message, 0, Deliver(pending, *lookup));
  }
  return 0;
}

HWND RelayWindow() {
  if (relay.window != nullptr) return relay.window;
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);
  if (!EnsureWindowClass(instance, kRelayClass, &RelayProcedure, 0)) return nullptr;
  relay.window = ::CreateWindowExA(0, kRelayClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  return relay.window;
}

}  // namespace

void ForgetLookupsFor(WindowHandle window) {
  for (auto& [id, lookup] : relay.pending) {
    if (lookup.window == window) lookup.window = 0;
  }
}

}  // namespace win32

bool AsyncLookupHost(WindowHandle window, std::uint32_t message, const char* name, char* buffer, int length) {
  if (name == nullptr || buffer == nullptr || length < 0) {
    ::WSASetLastError(WSAEFAULT);
    return false;
  }
  if (window == 0 || !::IsWindow(reinterpret_cast<HWND>(window))) {
    ::WSASetLastError(WSAEINVAL);
    return false;
  }
  // The resolver takes an empty name for the local host; a server named by
  // nothing is better not found at all.
  if (*name == '\0') {
    return ::PostMessageA(reinterpret_cast<HWND>(window), message, 0, WSAMAKEASYNCREPLY(0, win32::kHostNotFound)) != 0;
  }
  const HWND relayWindow = win32::RelayWindow();
  if (relayWindow == nullptr) {
    ::WSASetLastError(WSAENOBUFS);
    return false;
  }
  const WPARAM id = ++win32::relay.next;
  try {
    std::thread([relayWindow, id, name = std::string(name)] {
      auto lookup = std::make_unique<win32::Lookup>(win32::Resolve(name));
      // A relay gone with its thread takes no message: the result goes unread.
      if (::PostMessageA(relayWindow, win32::kRelayMessage, id, reinterpret_cast<LPARAM>(lookup.get()))) {
        static_cast<void>(lookup.release());
      }
    }).detach();
  } catch (const std::system_error&) {
    ::WSASetLastError(WSAENOBUFS);
    return false;
  }
  // The result is dispatched on this thread, so it cannot overtake this entry.
  win32::relay.pending.emplace(id, win32::PendingLookup{window, message, buffer, length});
  return true;
}

std::string FullyQualifiedHostName() {
  char name[256] = {};
  DWORD length = sizeof name;
  if (!::GetComputerNameExA(ComputerNameDnsFullyQualified, name, &length)) return {};
  const std::string host(name, length);
  return host.find('.') != std::string::npos ? host : std::string();
}

std::vector<SocketAddress> AddressesOfHostEntry(const char* buffer) {
  return buffer == nullptr ? std::vector<SocketAddress>{} : detail::ReadHostEntry(buffer);
}

}  // namespace platform
