#pragma once
// TThreadTimer: a repeating window timer on the thread that creates it,
// delivered through a hidden window of class "TmrWindowClass".

#include <cstdint>
#include <string_view>

#include "core/Component.h"
#include "platform/Messages.h"

inline constexpr const char* kTimerWindowClass = "TmrWindowClass";

/// A window timer (despite the name, no thread) owned by its owner component;
/// the socket component uses one for its time-outs.
class TThreadTimer : public TComponent {
 public:
  /// Starts with Enabled true and Interval 1000; arms nothing yet.
  explicit TThreadTimer(TComponent* owner);
  ~TThreadTimer() override;

  bool Enabled() const { return enabled_; }
  /// A changed value re-arms the timer (a full new period); raises Exception
  /// "No Timer" when the platform refuses the timer.
  void SetEnabled(bool enabled);
  std::uint32_t Interval() const { return interval_; }
  /// As SetEnabled; 0 stops the timer.
  void SetInterval(std::uint32_t interval);
  const TNotifyEvent& OnTimer() const { return on_timer_; }
  /// Always re-arms; an unassigned handler leaves the timer stopped.
  void SetOnTimer(TNotifyEvent handler);

  /// True when the last UpdateTimer armed the window timer.
  bool Armed() const { return armed_; }
  platform::WindowHandle TimerWindow() const { return timer_window_; }

  /// One tick: fires OnTimer when assigned.
  virtual void Tick();

 protected:
  /// Kills the window timer, then arms it again when Interval is not 0,
  /// Enabled is true and OnTimer is assigned. Raises "No Timer".
  virtual void UpdateTimer();

 private:
  bool enabled_ = true;
  std::uint32_t interval_ = 1000;
  TNotifyEvent on_timer_;
  bool armed_ = false;
  platform::WindowHandle timer_window_ = 0;
};

/// The window procedure of "TmrWindowClass": ticks the owning timer on
/// kMsgTimer (an exception goes to the application's exception handler),
/// answers kMsgActivateApp with 0, leaves the rest to the default procedure.
std::intptr_t TimerWindowProc(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam);
