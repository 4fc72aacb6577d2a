#include "platform/Messages.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/posix/ThreadQueue.h"

namespace platform {
namespace posix {
namespace {

// Windows clamps timer periods to these bounds (USER_TIMER_MINIMUM/MAXIMUM).
constexpr std::uint32_t kMinTimerPeriod = 10;
constexpr std::uint32_t kMaxTimerPeriod = 0x7FFFFFFF;

bool MakeNonBlockingCloseOnExec(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

struct WindowRecord {
  WindowProc proc;
  void* owner;
  std::shared_ptr<ThreadQueue> queue;
};

/// Every window and window class of the process. Handles are never reused,
/// so a message that outlives its window can never reach another one.
struct WindowRegistry {
  std::mutex mutex;
  std::unordered_map<WindowHandle, WindowRecord> windows;
  std::unordered_map<std::string, WindowProc> classes;
  WindowHandle lastHandle = 0;
};

// Never destroyed: lookup workers and other threads may still post while the
// process exits.
WindowRegistry& Registry() {
  static auto* registry = new WindowRegistry;
  return *registry;
}

/// Hands message to its window's procedure; a message whose window is gone is dropped.
void Dispatch(QueuedMessage& message) {
  WindowProc proc = nullptr;
  {
    WindowRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.windows.find(message.window);
    if (found == registry.windows.end()) return;
    proc = found->second.proc;
  }
  const std::intptr_t lParam = message.prepare ? message.prepare() : message.lParam;
  proc(message.window, message.message, message.wParam, lParam);
}

}  // namespace

ThreadQueue::ThreadQueue() {
  int fds[2];
  if (::pipe(fds) != 0) return;  // without a wake-up, waits still end at their time limit
  if (!MakeNonBlockingCloseOnExec(fds[0]) || !MakeNonBlockingCloseOnExec(fds[1])) {
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
}

ThreadQueue::~ThreadQueue() {
  if (wakeRead_ >= 0) ::close(wakeRead_);
  if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

void ThreadQueue::Post(QueuedMessage message) {
  std::lock_guard lock(mutex_);
  messages_.push_back(std::move(message));
  if (messages_.size() == 1 && wakeWrite_ >= 0) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(wakeWrite_, &byte, 1);  // a full pipe already wakes
  }
}

bool ThreadQueue::Pop(QueuedMessage& message) {
  std::lock_guard lock(mutex_);
  if (messages_.empty()) return false;
  message = std::move(messages_.front());
  messages_.pop_front();
  if (messages_.empty()) DrainWakeup();
  return true;
}

void ThreadQueue::Discard(const std::function<bool(const QueuedMessage&)>& matches) {
  std::lock_guard lock(mutex_);
  std::erase_if(messages_, matches);
  if (messages_.empty()) DrainWakeup();
}

bool ThreadQueue::Empty() {
  std::lock_guard lock(mutex_);
  return messages_.empty();
}

void ThreadQueue::DrainWakeup() {
  if (wakeRead_ < 0) return;
  char bytes[64];
  while (::read(wakeRead_, bytes, sizeof bytes) > 0) {
  }
}

void ThreadQueue::StartTimer(WindowHandle window, std::uintptr_t id, Clock::duration period) {
  std::lock_guard lock(mutex_);
  const Clock::time_point due = Clock::now() + period;
  for (WindowTimer& timer : timers_) {
    if (timer.window == window && timer.id == id) {
      timer.period = period;
      timer.due = due;
      return;
    }
  }
  timers_.push_back({window, id, period, due});
}

void ThreadQueue::StopTimer(WindowHandle window, std::uintptr_t id) {
  std::lock_guard lock(mutex_);
  std::erase_if(timers_, [&](const WindowTimer& timer) { return timer.window == window && timer.id == id; });
}

void ThreadQueue::StopTimersOf(WindowHandle window) {
  std::lock_guard lock(mutex_);
  std::erase_if(timers_, [&](const WindowTimer& timer) { return timer.window == window; });
}

bool ThreadQueue::TakeDueTimer(Clock::time_point notAfter, QueuedMessage& message) {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = Clock::now();
  const Clock::time_point limit = std::min(notAfter, now);
  WindowTimer* earliest = nullptr;
  for (WindowTimer& timer : timers_) {
    if (timer.due <= limit && (earliest == nullptr || timer.due < earliest->due)) earliest = &timer;
  }
  if (earliest == nullptr) return false;
  earliest->due = now + earliest->period;
  message = QueuedMessage{earliest->window, kMsgTimer, earliest->id, 0, {}};
  return true;
}

std::chrono::milliseconds ThreadQueue::TimeToNextTimer() {
  std::lock_guard lock(mutex_);
  if (timers_.empty()) return std::chrono::milliseconds(-1);
  const auto next = std::min_element(timers_.begin(), timers_.end(), [](const WindowTimer& a, const WindowTimer& b) {
                      return a.due < b.due;
                    })->due;
  // Rounded up, so that a wait does not end just before the timer is due.
  return std::max(std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()), std::chrono::milliseconds(0));
}

std::shared_ptr<ThreadQueue> CurrentThreadQueue() {
  thread_local const auto queue = std::make_shared<ThreadQueue>();
  return queue;
}

std::shared_ptr<ThreadQueue> QueueOfWindow(WindowHandle window) {
  WindowRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.windows.find(window);
  return found == registry.windows.end() ? nullptr : found->second.queue;
}

}  // namespace posix

WindowHandle CreateNotifyWindow(const char* className, WindowProc proc, void* owner) {
  if (className == nullptr) return 0;
  auto queue = posix::CurrentThreadQueue();
  posix::WindowRegistry& registry = posix::Registry();
  std::lock_guard lock(registry.mutex);
  const auto registered = registry.classes.find(className);
  WindowProc classProc = registered != registry.classes.end() ? registered->second : proc;
  if (classProc == nullptr) return 0;  // a class cannot be registered without a procedure
  if (registered == registry.classes.end()) registry.classes.emplace(className, proc);
  const WindowHandle window = ++registry.lastHandle;
  registry.windows.emplace(window, posix::WindowRecord{classProc, owner, std::move(queue)});
  return window;
}

void DestroyNotifyWindow(WindowHandle window) {
  std::shared_ptr<posix::ThreadQueue> queue;
  {
    posix::WindowRegistry& registry = posix::Registry();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.windows.find(window);
    if (found == registry.windows.end()) return;
    queue = std::move(found->second.queue);
    registry.windows.erase(found);
  }
  queue->StopTimersOf(window);
}

void* GetWindowOwner(WindowHandle window) {
  posix::WindowRegistry& registry = posix::Registry();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.windows.find(window);
  return found == registry.windows.end() ? nullptr : found->second.owner;
}

std::intptr_t DefaultWindowProc(WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) { return 0; }

bool PostMessageTo(WindowHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  auto queue = posix::QueueOfWindow(window);
  if (!queue) return false;
  queue->Post({window, message, wParam, lParam, {}});
  return true;
}

void PumpMessages() {
  const auto queue = posix::CurrentThreadQueue();
  const posix::Clock::time_point start = posix::Clock::now();
  for (;;) {
    posix::QueuedMessage message;
    if (!queue->Pop(message)) {
      posix::CollectSocketEvents();
      if (!queue->Pop(message) && !queue->TakeDueTimer(start, message)) return;
    }
    posix::Dispatch(message);
  }
}

void SleepMilliseconds(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool StartWindowTimer(WindowHandle window, std::uintptr_t id, std::uint32_t milliseconds) {
  auto queue = posix::QueueOfWindow(window);
  if (!queue) return false;
  const std::uint32_t period = std::clamp(milliseconds, posix::kMinTimerPeriod, posix::kMaxTimerPeriod);
  queue->StartTimer(window, id, std::chrono::milliseconds(period));
  return true;
}

void StopWindowTimer(WindowHandle window, std::uintptr_t id) {
  if (auto queue = posix::QueueOfWindow(window)) queue->StopTimer(window, id);
}

}  // namespace platform
