#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "platform/HostEntryLayout.h"
#include "platform/Sockets.h"
#include "platform/win32/LookupRelay.h"
#include "platform/win32/WindowClass.h"

// WSAAsyncGetHostByName writes its buffer from another thread whenever the
// lookup ends, even after the component that asked is gone. So WinSock
// writes into a block owned here and reports to a relay window owned here;
// the relay copies the entry into the caller's buffer and sends the caller
// its message only while the caller's window exists.

namespace platform {
namespace win32 {
namespace {

constexpr UINT kRelayMessage = WM_USER + 1;
constexpr char kRelayClass[] = "MailshotLookupRelay";
constexpr int kHostNotFound = 11001;

struct PendingLookup {
  WindowHandle window;  // 0 once the window was destroyed
  std::uint32_t message;
  char* buffer;
  int length;
  std::unique_ptr<char[]> block;  // WinSock's copy of the entry
};

/// The lookups of one thread and the relay window their completions reach.
struct Relay {
  HWND window = nullptr;
  std::unordered_map<HANDLE, PendingLookup> pending;

  ~Relay() {
    // WinSock may still write into the block of a lookup that outlives the
    // thread: leave those blocks alone rather than free them.
    for (auto& [task, lookup] : pending) static_cast<void>(lookup.block.release());
  }
};

thread_local Relay relay;

detail::HostLookupResult ReadEntry(const hostent& entry) {
  detail::HostLookupResult result;
  result.name = entry.h_name != nullptr ? entry.h_name : "";
  if (entry.h_length != 4 || entry.h_addr_list == nullptr) return result;
  for (char** address = entry.h_addr_list; *address != nullptr; ++address) {
    std::uint32_t value;
    std::memcpy(&value, *address, 4);
    result.addresses.push_back(value);
  }
  return result;
}

/// Writes the caller's copy of the entry; the lParam of the caller's message.
LPARAM Deliver(const PendingLookup& lookup, LPARAM reply) {
  if (WSAGETASYNCERROR(reply) != 0) return WSAMAKEASYNCREPLY(0, WSAGETASYNCERROR(reply));
  const detail::HostLookupResult result = ReadEntry(*reinterpret_cast<const hostent*>(lookup.block.get()));
  const std::size_t written = detail::WriteHostEntry<hostent>(result, lookup.buffer, static_cast<std::size_t>(lookup.length));
  if (written == 0) {
    const std::size_t needed = detail::HostEntrySize<hostent>(result);
    return WSAMAKEASYNCREPLY(static_cast<WORD>(std::min<std::size_t>(needed, 0xFFFF)), WSAENOBUFS);
  }
  return WSAMAKEASYNCREPLY(static_cast<WORD>(written), 0);
}

LRESULT CALLBACK RelayProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kRelayMessage) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  const auto found = relay.pending.find(reinterpret_cast<HANDLE>(wParam));
  if (found == relay.pending.end()) return 0;
  const PendingLookup lookup = std::move(found->second);
  relay.pending.erase(found);
  if (lookup.window != 0) {
    ::SendMessageA(reinterpret_cast<HWND>(lookup.window), lookup.message, wParam, Deliver(lookup, lParam));
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
  for (auto& [task, lookup] : relay.pending) {
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
  // gethostbyname takes an empty name for the local host; a server named by
  // nothing is better not found at all.
  if (*name == '\0') {
    return ::PostMessageA(reinterpret_cast<HWND>(window), message, 0, WSAMAKEASYNCREPLY(0, win32::kHostNotFound)) != 0;
  }
  const HWND relayWindow = win32::RelayWindow();
  if (relayWindow == nullptr) {
    ::WSASetLastError(WSAENOBUFS);
    return false;
  }
  auto block = std::make_unique<char[]>(MAXGETHOSTSTRUCT);
  const HANDLE task = ::WSAAsyncGetHostByName(relayWindow, win32::kRelayMessage, name, block.get(), MAXGETHOSTSTRUCT);
  if (task == nullptr) return false;
  // The completion is dispatched on this thread, so it cannot overtake this entry.
  win32::relay.pending.emplace(task, win32::PendingLookup{window, message, buffer, length, std::move(block)});
  return true;
}

std::string FullyQualifiedHostName() {
  char name[256] = {};
  DWORD length = sizeof name;
  if (!::GetComputerNameExA(ComputerNameDnsFullyQualified, name, &length)) return {};
  const std::string host(name, length);
  return host.find('.') != std::string::npos ? host : std::string();
}

std::uint32_t FirstAddressOfHostEntry(const char* buffer) {
  return buffer == nullptr ? 0 : detail::FirstAddressOf<hostent>(buffer);
}

}  // namespace platform
