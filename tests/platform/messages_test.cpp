#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Messages.h"
#include "platform/Sockets.h"
#include "platform/RecordingWindow.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFirst = platform::kMsgUser + 1;
constexpr std::uint32_t kSecond = platform::kMsgUser + 2;

std::vector<std::uint32_t> NumbersOf(const RecordingWindow& window) {
  std::vector<std::uint32_t> numbers;
  for (const RecordedMessage& m : window.messages) numbers.push_back(m.message);
  return numbers;
}

TEST(Messages, PostedMessagesReachTheProcedureInOrderWithTheirParameters) {
  RecordingWindow window;
  ASSERT_NE(window.Handle(), 0u);
  const RecordedMessage posted[] = {
      {kSocketMessage, 7, (10061 << 16) | 16}, {kLookupMessage, 0, 11001 << 16}, {kFirst, ~std::uintptr_t{0}, -1}};
  for (const RecordedMessage& m : posted) ASSERT_TRUE(platform::PostMessageTo(window.Handle(), m.message, m.wParam, m.lParam));

  platform::PumpMessages();

  ASSERT_EQ(window.messages.size(), std::size(posted));
  for (std::size_t i = 0; i < std::size(posted); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(window.messages[i].message, posted[i].message);
    EXPECT_EQ(window.messages[i].wParam, posted[i].wParam);
    EXPECT_EQ(window.messages[i].lParam, posted[i].lParam);
  }
  platform::PumpMessages();  // an empty queue: returns at once, delivers nothing again
  EXPECT_EQ(window.messages.size(), std::size(posted));
}

TEST(Messages, MessagesPostedWhileDispatchingArriveInTheSameStepAndNestedPumpsKeepOrder) {
  RecordingWindow window;
  window.onMessage = [&](const RecordedMessage& m) {
    if (m.message != kFirst) return;
    platform::PostMessageTo(window.Handle(), kSecond, 2, 0);
    platform::PumpMessages();  // a wait inside a handler pumps too
  };
  platform::PostMessageTo(window.Handle(), kFirst, 1, 0);
  platform::PostMessageTo(window.Handle(), kSecond, 1, 0);

  platform::PumpMessages();

  ASSERT_EQ(window.messages.size(), 3u);
  EXPECT_EQ(window.messages[0].message, kFirst);
  EXPECT_EQ(window.messages[1].wParam, 1u);  // posted before the handler's message
  EXPECT_EQ(window.messages[2].wParam, 2u);
}

TEST(Messages, MessagesForADestroyedWindowAreDropped) {
  RecordingWindow kept;
  RecordingWindow destroyed;
  platform::PostMessageTo(destroyed.Handle(), kFirst, 0, 0);
  platform::PostMessageTo(kept.Handle(), kFirst, 0, 0);
  const platform::WindowHandle gone = destroyed.Handle();
  destroyed.Destroy();

  platform::PumpMessages();

  EXPECT_EQ(NumbersOf(kept), std::vector<std::uint32_t>{kFirst});
  EXPECT_TRUE(destroyed.messages.empty());
  EXPECT_FALSE(platform::PostMessageTo(gone, kFirst, 0, 0));
  EXPECT_FALSE(platform::PostMessageTo(0, kFirst, 0, 0));
}

TEST(Messages, TheOwnerSlotHoldsWhatTheWindowWasMadeWith) {
  int someOwner = 0;
  struct Row {
    const char* name;
    void* owner;
  } rows[] = {{"an owner", &someOwner}, {"no owner", nullptr}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const platform::WindowHandle window =
        platform::CreateNotifyWindow("PlatformTestWindow", &RecordingWindow::Procedure, row.owner);
    ASSERT_NE(window, 0u);
    EXPECT_EQ(platform::GetWindowOwner(window), row.owner);
    platform::DestroyNotifyWindow(window);
  }
  EXPECT_EQ(platform::GetWindowOwner(0), nullptr);
}

int secondProcedureCalls = 0;
std::intptr_t SecondProcedure(platform::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) {
  if (message >= platform::kMsgUser) ++secondProcedureCalls;
  return platform::DefaultWindowProc(window, message, wParam, lParam);
}

TEST(Messages, AClassKeepsTheProcedureItWasFirstRegisteredWith) {
  RecordingWindow first("PlatformTestOnceClass");
  // A second window of that class names another procedure, which is not used.
  const platform::WindowHandle second = platform::CreateNotifyWindow("PlatformTestOnceClass", &SecondProcedure, &first);
  ASSERT_NE(second, 0u);
  platform::PostMessageTo(second, kFirst, 5, 0);

  platform::PumpMessages();
  platform::DestroyNotifyWindow(second);

  EXPECT_EQ(secondProcedureCalls, 0);
  ASSERT_EQ(first.messages.size(), 1u);  // the owner of the second window is first
  EXPECT_EQ(first.messages[0].wParam, 5u);
}

TEST(Messages, AMessagePostedByAnotherThreadIsDispatchedOnTheWindowsThread) {
  RecordingWindow window;
  std::thread::id dispatchedOn;
  window.onMessage = [&](const RecordedMessage&) { dispatchedOn = std::this_thread::get_id(); };
  std::thread poster([&] { platform::PostMessageTo(window.Handle(), kFirst, 42, 0); });
  poster.join();

  ASSERT_TRUE(PumpUntil([&] { return !window.messages.empty(); }));
  EXPECT_EQ(window.messages[0].wParam, 42u);
  EXPECT_EQ(dispatchedOn, std::this_thread::get_id());
}

TEST(Timers, ATimerTicksRepeatedlyWithItsIdWhilePumped) {
  RecordingWindow window;
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 1, 20));
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 2, 20));

  ASSERT_TRUE(PumpUntil([&] { return window.Count(platform::kMsgTimer) >= 6; }));
  std::size_t ticksOf[3] = {};
  for (const RecordedMessage& m : window.messages) {
    ASSERT_LT(m.wParam, 3u);
    ++ticksOf[m.wParam];
  }
  EXPECT_EQ(ticksOf[0], 0u);
  EXPECT_GE(ticksOf[1], 1u);
  EXPECT_GE(ticksOf[2], 1u);
  platform::StopWindowTimer(window.Handle(), 1);
  platform::StopWindowTimer(window.Handle(), 2);
}

TEST(Timers, ADueTimerTicksOnceInOnePumpStepHoweverLateItIs) {
  RecordingWindow window;
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 1, 10));
  platform::SleepMilliseconds(200);

  platform::PumpMessages();

  EXPECT_EQ(window.Count(platform::kMsgTimer), 1u);
  platform::StopWindowTimer(window.Handle(), 1);
}

TEST(Timers, AStoppedTimerTicksNoMoreAndTheOtherTimerGoesOn) {
  RecordingWindow window;
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 1, 20));
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 2, 20));
  ASSERT_TRUE(PumpUntil([&] { return window.Count(platform::kMsgTimer) >= 2; }));

  platform::StopWindowTimer(window.Handle(), 1);
  platform::PumpMessages();  // a tick queued before the stop may still arrive
  window.messages.clear();
  ASSERT_TRUE(PumpUntil([&] { return window.Count(platform::kMsgTimer) >= 3; }));

  for (const RecordedMessage& m : window.messages) EXPECT_EQ(m.wParam, 2u);
  platform::StopWindowTimer(window.Handle(), 2);
}

TEST(Timers, ReArmingStartsAFullNewPeriod) {
  RecordingWindow window;
  std::vector<Clock::time_point> ticks;  // when each tick came
  window.onMessage = [&](const RecordedMessage& m) {
    if (m.message == platform::kMsgTimer) ticks.push_back(Clock::now());
  };
  const auto armed = Clock::now();
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 1, 1000));
  PumpFor(milliseconds(600));
  const auto rearmed = Clock::now();
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 1, 1000));
  EXPECT_TRUE(PumpUntil([&] { return !ticks.empty() && ticks.back() >= rearmed; }));
  platform::StopWindowTimer(window.Handle(), 1);
  // Each tick a whole period (less the timers' coarseness) after the arming
  // before it, however late the pumping was: the old period would end 400 ms
  // after the re-arming.
  for (const Clock::time_point tick : ticks) {
    EXPECT_GE(tick - (tick < rearmed ? armed : rearmed), milliseconds(800));
  }
}

TEST(Timers, ATimerDiesWithItsWindow) {
  RecordingWindow window;
  ASSERT_TRUE(platform::StartWindowTimer(window.Handle(), 1, 10));
  const platform::WindowHandle gone = window.Handle();
  window.Destroy();
  PumpFor(milliseconds(100));

  EXPECT_TRUE(window.messages.empty());
  EXPECT_FALSE(platform::StartWindowTimer(gone, 1, 10));
}

TEST(Waiting, AWaitEndsEarlyForAPostedMessageOrADueTimer) {
  struct Row {
    const char* name;
    bool postFromThread;
    bool timer;
  } rows[] = {{"posted by another thread", true, false}, {"timer due", false, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingWindow window;
    platform::PumpMessages();
    std::thread poster;
    if (row.postFromThread) {
      poster = std::thread([&] {
        std::this_thread::sleep_for(milliseconds(100));
        platform::PostMessageTo(window.Handle(), kFirst, 0, 0);
      });
    }
    if (row.timer) platform::StartWindowTimer(window.Handle(), 1, 100);

    const auto start = Clock::now();
    platform::WaitForSocketOrMessage(platform::kInvalidSocket, platform::SocketWait::kReadable, 20000);
    const auto waited = Clock::now() - start;
    if (poster.joinable()) poster.join();

    EXPECT_LT(waited, milliseconds(10000));
    platform::PumpMessages();
    EXPECT_EQ(window.messages.size(), 1u);
    platform::StopWindowTimer(window.Handle(), 1);
  }
}

TEST(Waiting, AWaitWithNothingToWakeItLastsItsTime) {
  RecordingWindow window;
  platform::PumpMessages();
  const auto start = Clock::now();
  platform::WaitForSocketOrMessage(platform::kInvalidSocket, platform::SocketWait::kReadable, 100);
  EXPECT_GE(Clock::now() - start, milliseconds(80)) << "returned without a reason: waits would spin";
}

}  // namespace
