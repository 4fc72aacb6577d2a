#pragma once
// The POSIX stand-in for a thread's window message queue: what the message
// and the socket halves of the backend share.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Messages.h"

namespace platform::posix {

using Clock = std::chrono::steady_clock;

/// One message waiting for its window. prepare, when set, runs on the
/// window's thread right before dispatch, and only while the window exists;
/// it supplies the lParam (a host lookup writes its caller's buffer there).
struct QueuedMessage {
  WindowHandle window = 0;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  std::function<std::intptr_t()> prepare;
};

/// A repeating window timer; due is when its next tick may be dispatched.
struct WindowTimer {
  WindowHandle window;
  std::uintptr_t id;
  Clock::duration period;
  Clock::time_point due;
};

/// The message queue and timers of one thread, shared (through shared_ptr)
/// by the thread, its windows and lookup workers posting to it, so that a
/// late poster never touches freed memory. Messages may be posted from any
/// thread; everything else is used by the owning thread.
class ThreadQueue {
 public:
  ThreadQueue();
  ~ThreadQueue();
  ThreadQueue(const ThreadQueue&) = delete;
  ThreadQueue& operator=(const ThreadQueue&) = delete;

  /// Appends message and wakes a WaitForSocketOrMessage of the owning thread.
  void Post(QueuedMessage message);
  /// Takes the oldest message; false when none waits.
  bool Pop(QueuedMessage& message);
  bool Empty();
  /// Removes every waiting message for which matches is true.
  void Discard(const std::function<bool(const QueuedMessage&)>& matches);
  /// Readable while messages wait: lets the owning thread sleep in poll.
  int WakeDescriptor() const { return wakeRead_; }

  /// Arms (or re-arms with a full period) the timer id of window.
  void StartTimer(WindowHandle window, std::uintptr_t id, Clock::duration period);
  void StopTimer(WindowHandle window, std::uintptr_t id);
  void StopTimersOf(WindowHandle window);
  /// The earliest timer due at or before notAfter, as a kMsgTimer message,
  /// and restarts its period from now; false when none is due.
  bool TakeDueTimer(Clock::time_point notAfter, QueuedMessage& message);
  /// Time until the next timer is due (zero when one is), or -1 ms without timers.
  std::chrono::milliseconds TimeToNextTimer();

 private:
  void DrainWakeup();

  std::mutex mutex_;
  std::deque<QueuedMessage> messages_;
  std::vector<WindowTimer> timers_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
};

/// The calling thread's queue, made on first use.
std::shared_ptr<ThreadQueue> CurrentThreadQueue();
/// The queue of the thread that made window; nullptr for 0 or a destroyed window.
std::shared_ptr<ThreadQueue> QueueOfWindow(WindowHandle window);

/// Turns new readiness of the calling thread's asynchronous sockets into
/// socket notifications in its queue (posted once until re-enabled).
void CollectSocketEvents();

}  // namespace platform::posix
