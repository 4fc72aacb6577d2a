#pragma once
// Per-thread messages, hidden notification windows and window timers: the
// way socket events, lookup completions and timer ticks reach the thread
// that owns a component. On Windows these are real (hidden) windows; on
// POSIX the backend keeps a per-thread queue with window handles as targets.

#include <cstdint>

namespace platform {

using WindowHandle = std::uintptr_t;  // 0: no window
using WindowProc = std::intptr_t (*)(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam);

inline constexpr std::uint32_t kMsgActivateApp = 0x001C;  // WM_ACTIVATEAPP
inline constexpr std::uint32_t kMsgTimer = 0x0113;        // WM_TIMER
inline constexpr std::uint32_t kMsgUser = 0x0400;         // WM_USER

/// Creates a hidden, never shown window of className, registering the class
/// with proc on first use in the process, and stores owner in the window.
/// Returns 0 when the class cannot be registered or the window not made.
WindowHandle CreateNotifyWindow(const char* className, WindowProc proc, void* owner);
/// Destroys the window; messages still queued for it are dropped.
void DestroyNotifyWindow(WindowHandle window);
/// The owner stored by CreateNotifyWindow (nullptr for none or an unknown window).
void* GetWindowOwner(WindowHandle window);
/// The platform's default answer to a message (DefWindowProc).
std::intptr_t DefaultWindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam);
/// Queues a message for window on the window's thread; any thread may post.
/// False for 0 or a destroyed window.
bool PostMessageTo(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

/// The pump step: removes and dispatches every message waiting in the
/// calling thread's queue (socket readiness and due timers included), then
/// returns without waiting for new ones. Timer ticks do not queue up: a
/// timer that is late ticks once. Window procedures must not raise. On Windows a quit request met
/// here is put back for the main message loop and ends the step.
void PumpMessages();
void SleepMilliseconds(std::uint32_t milliseconds);

/// Arms (or re-arms, with a full new period) the repeating timer id of
/// window: a kMsgTimer message with wParam id every period. False on failure.
bool StartWindowTimer(WindowHandle window, std::uintptr_t id, std::uint32_t milliseconds);
void StopWindowTimer(WindowHandle window, std::uintptr_t id);

}  // namespace platform
