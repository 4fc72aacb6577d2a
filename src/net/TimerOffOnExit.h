#pragma once
// A guard that ends a timed wait of a socket component on every way out.

/// Runs owner.TimerOff() when it goes out of scope; owned by the operation
/// that started the timed wait.
template <typename Owner>
class TimerOffOnExit {
 public:
  explicit TimerOffOnExit(Owner& owner) : owner_(owner) {}
  ~TimerOffOnExit() { owner_.TimerOff(); }
  TimerOffOnExit(const TimerOffOnExit&) = delete;
  TimerOffOnExit& operator=(const TimerOffOnExit&) = delete;

 private:
  Owner& owner_;
};
