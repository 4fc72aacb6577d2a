#include "net/ThreadTimer.h"

#include "core/Application.h"
#include "core/Exceptions.h"
#include "net/SocketTexts.h"

namespace {
constexpr std::uintptr_t kTimerId = 1;
}

TThreadTimer::TThreadTimer(TComponent* owner) : TComponent(owner) {
  timer_window_ = platform::CreateNotifyWindow(kTimerWindowClass, TimerWindowProc, this);
}

TThreadTimer::~TThreadTimer() {
  enabled_ = false;
  TThreadTimer::UpdateTimer();
  platform::DestroyNotifyWindow(timer_window_);
}

void TThreadTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TThreadTimer::SetInterval(std::uint32_t interval) {
  if (interval == interval_) return;
  interval_ = interval;
  UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
  on_timer_ = std::move(handler);
  UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
  platform::StopWindowTimer(timer_window_, kTimerId);
  armed_ = false;
  if (interval_ == 0 || !enabled_ || !on_timer_) return;
  if (!platform::StartWindowTimer(timer_window_, kTimerId, interval_)) throw Exception(std::string(kErrNoTimer));
  armed_ = true;
}

void TThreadTimer::Tick() {
  if (on_timer_) on_timer_(this);
}

std::intptr_t TimerWindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) {
  auto* timer = static_cast<TThreadTimer*>(platform::GetWindowOwner(window));
  if (!timer) return platform::DefaultWindowProc(window, message, wParam, lParam);
  switch (message) {
    case platform::kMsgActivateApp:
      return 0;
    case platform::kMsgTimer:
      try {
        timer->Tick();
      } catch (const std::exception& e) {
        HandleApplicationException(e);
      } catch (...) {
        HandleApplicationException(Exception("Unknown exception in a timer handler"));
      }
      return 0;
    default:
      return platform::DefaultWindowProc(window, message, wParam, lParam);
  }
}
