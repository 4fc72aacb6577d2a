#pragma once
// A hidden notification window that records what reaches its procedure, and
// pumping helpers with generous limits for the platform tests.

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/Messages.h"
#include "platform/Sockets.h"

struct RecordedMessage {
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

/// One socket notification: event code and error number.
struct SocketNote {
  int event;
  int error;
  bool operator==(const SocketNote&) const = default;
};

inline constexpr std::uint32_t kSocketMessage = platform::kMsgUser + 101;
inline constexpr std::uint32_t kLookupMessage = platform::kMsgUser + 102;
inline constexpr std::int32_t kAllEvents = platform::kEventRead | platform::kEventOob | platform::kEventAccept |
                                           platform::kEventConnect | platform::kEventClose;

/// Records timer ticks and every message from kMsgUser up; the rest goes to
/// the default procedure. onMessage, when set, runs after recording.
class RecordingWindow {
 public:
  explicit RecordingWindow(const char* className = "PlatformTestWindow")
      : handle_(platform::CreateNotifyWindow(className, &Procedure, this)) {}
  ~RecordingWindow() { Destroy(); }
  RecordingWindow(const RecordingWindow&) = delete;
  RecordingWindow& operator=(const RecordingWindow&) = delete;

  platform::WindowHandle Handle() const { return handle_; }
  void Destroy() {
    if (handle_ != 0) platform::DestroyNotifyWindow(handle_);
    handle_ = 0;
  }

  std::size_t Count(std::uint32_t message) const {
    std::size_t count = 0;
    for (const RecordedMessage& m : messages) count += m.message == message;
    return count;
  }

  /// The socket notifications for socket, in order.
  std::vector<SocketNote> NotesFor(platform::SocketHandle socket) const {
    std::vector<SocketNote> notes;
    for (const RecordedMessage& m : messages) {
      if (m.message == kSocketMessage && m.wParam == socket) {
        notes.push_back({static_cast<int>(m.lParam & 0xFFFF), static_cast<int>((m.lParam >> 16) & 0xFFFF)});
      }
    }
    return notes;
  }

  std::size_t CountEvent(platform::SocketHandle socket, int event) const {
    std::size_t count = 0;
    for (const SocketNote& note : NotesFor(socket)) count += note.event == event;
    return count;
  }

  static std::intptr_t Procedure(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                 std::intptr_t lParam) {
    auto* self = static_cast<RecordingWindow*>(platform::GetWindowOwner(window));
    if (self == nullptr || (message < platform::kMsgUser && message != platform::kMsgTimer)) {
      return platform::DefaultWindowProc(window, message, wParam, lParam);
    }
    self->messages.push_back({message, wParam, lParam});
    if (self->onMessage) self->onMessage(self->messages.back());
    return 0;
  }

  std::vector<RecordedMessage> messages;
  std::function<void(const RecordedMessage&)> onMessage;

 private:
  platform::WindowHandle handle_;
};

/// Keeps the sockets started while it lives (Windows needs that before any socket call).
struct SocketsSession {
  SocketsSession() : result(platform::StartupSockets(data)) {}
  ~SocketsSession() { platform::CleanupSockets(); }
  SocketsSession(const SocketsSession&) = delete;
  SocketsSession& operator=(const SocketsSession&) = delete;

  platform::SocketsStartupData data;
  int result;
};

/// Pumps (sleeping in between) until done() holds; false when limit passed first.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    platform::PumpMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    platform::WaitForSocketOrMessage(platform::kInvalidSocket, platform::SocketWait::kReadable, 10);
  }
}

/// Pumps for about span, so that anything that was going to arrive has arrived.
inline void PumpFor(std::chrono::milliseconds span) {
  PumpUntil([] { return false; }, span);
}
