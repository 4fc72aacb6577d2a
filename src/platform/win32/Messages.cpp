#include "platform/Messages.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/win32/LookupRelay.h"
#include "platform/win32/WindowClass.h"

namespace platform {
namespace {

// Each slot holds a pointer: 8 bytes on 64-bit Windows, where the 4 extra
// bytes of a classic notification window class would cut the owner in half.
constexpr int kOwnerSlot = 0;
constexpr int kProcedureSlot = sizeof(LONG_PTR);
constexpr int kWindowExtraBytes = 2 * sizeof(LONG_PTR);

HWND Native(WindowHandle window) { return reinterpret_cast<HWND>(window); }

/// The one Win32 procedure of every notification window class: it hands the
/// message to the procedure kept in the window. Messages that arrive before
/// that is stored (during creation) get the default answer.
LRESULT CALLBACK Relay(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto procedure = reinterpret_cast<WindowProc>(::GetWindowLongPtrA(hwnd, kProcedureSlot));
  if (procedure == nullptr) return ::DefWindowProcA(hwnd, message, wParam, lParam);
  return procedure(reinterpret_cast<WindowHandle>(hwnd), message, wParam, lParam);
}

/// The procedure className was first registered with, registering the
/// class now when it is new; nullptr when it cannot be registered.
WindowProc ClassProcedure(const char* className, WindowProc proc, HINSTANCE instance) {
  static std::mutex mutex;
  static std::unordered_map<std::string, WindowProc> procedures;
  std::lock_guard lock(mutex);
  if (const auto found = procedures.find(className); found != procedures.end()) return found->second;
  if (proc == nullptr || !win32::EnsureWindowClass(instance, className, &Relay, kWindowExtraBytes)) return nullptr;
  procedures.emplace(className, proc);
  return proc;
}

}  // namespace

bool win32::EnsureWindowClass(HINSTANCE instance, const char* className, WNDPROC procedure, int windowExtraBytes) {
  WNDCLASSA known{};
  if (::GetClassInfoA(instance, className, &known)) return true;
  WNDCLASSA record{};
  record.lpfnWndProc = procedure;
  record.cbWndExtra = windowExtraBytes;
  record.hInstance = instance;
  record.lpszClassName = className;
  return ::RegisterClassA(&record) != 0;
}

WindowHandle CreateNotifyWindow(const char* className, WindowProc proc, void* owner) {
  if (className == nullptr) return 0;
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);
  const WindowProc procedure = ClassProcedure(className, proc, instance);
  if (procedure == nullptr) return 0;
  const HWND hwnd = ::CreateWindowExA(WS_EX_TOOLWINDOW, className, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                      instance, nullptr);
  if (hwnd == nullptr) return 0;
  if (owner != nullptr) ::SetWindowLongPtrA(hwnd, kOwnerSlot, reinterpret_cast<LONG_PTR>(owner));
  ::SetWindowLongPtrA(hwnd, kProcedureSlot, reinterpret_cast<LONG_PTR>(procedure));
  return reinterpret_cast<WindowHandle>(hwnd);
}

void DestroyNotifyWindow(WindowHandle window) {
  if (window == 0) return;
  win32::ForgetLookupsFor(window);
  ::DestroyWindow(Native(window));
}

void* GetWindowOwner(WindowHandle window) {
  if (window == 0 || !::IsWindow(Native(window))) return nullptr;
  return reinterpret_cast<void*>(::GetWindowLongPtrA(Native(window), kOwnerSlot));
}

std::intptr_t DefaultWindowProc(WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) {
  return ::DefWindowProcA(Native(window), message, wParam, lParam);
}

bool PostMessageTo(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  // Posting to no window would make a thread message, which no procedure sees.
  return window != 0 && ::PostMessageA(Native(window), message, wParam, lParam) != 0;
}

void PumpMessages() {
  MSG message;
  while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(message.wParam));  // the main loop must still see it
      return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
}

void SleepMilliseconds(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

bool StartWindowTimer(WindowHandle window, std::uintptr_t id, std::uint32_t milliseconds) {
  // SetTimer without a window would make a thread timer with an id of its own.
  return window != 0 && ::SetTimer(Native(window), id, milliseconds, nullptr) != 0;
}

void StopWindowTimer(WindowHandle window, std::uintptr_t id) {
  if (window != 0) ::KillTimer(Native(window), id);
}

}  // namespace platform
