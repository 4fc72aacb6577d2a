// TThreadTimer: when it arms its window timer, its ticks, and a handler
// that raises.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Application.h"
#include "net/NetTestSupport.h"
#include "net/ThreadTimer.h"

namespace {

/// Counts how often the timer is re-armed.
class CountingTimer : public TThreadTimer {
 public:
  using TThreadTimer::TThreadTimer;
  int updates = 0;

 protected:
  void UpdateTimer() override {
    ++updates;
    TThreadTimer::UpdateTimer();
  }
};

TEST(ThreadTimer, ArmsOnlyWithIntervalEnabledAndHandler) {
  struct Case {
    const char* name;
    bool enabled;
    std::uint32_t interval;
    bool handler;
    bool armed;
  };
  const Case cases[] = {
      {"all three", true, 50, true, true},
      {"no handler", true, 50, false, false},
      {"disabled", false, 50, true, false},
      {"interval 0", true, 0, true, false},
  };
  for (const Case& c : cases) {
    TThreadTimer timer(nullptr);
    EXPECT_FALSE(timer.Armed()) << c.name << ": armed at construction";
    timer.SetEnabled(c.enabled);
    timer.SetInterval(c.interval);
    int ticks = 0;
    timer.SetOnTimer(c.handler ? TNotifyEvent([&](TObject*) { ++ticks; }) : TNotifyEvent());
    EXPECT_EQ(timer.Armed(), c.armed) << c.name;
    if (c.armed) {
      EXPECT_TRUE(PumpUntil([&] { return ticks > 0; })) << c.name;
    } else {
      PumpFor(150);
      EXPECT_EQ(ticks, 0) << c.name;
    }
  }
}

TEST(ThreadTimer, SameValueDoesNotRestartThePeriod) {
  CountingTimer timer(nullptr);
  timer.SetOnTimer([](TObject*) {});
  const int afterHandler = timer.updates;
  timer.SetInterval(1000);  // the value it has
  timer.SetEnabled(true);   // the value it has
  EXPECT_EQ(timer.updates, afterHandler);
  timer.SetInterval(500);
  EXPECT_EQ(timer.updates, afterHandler + 1);
  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Armed());
  timer.SetEnabled(true);
  EXPECT_EQ(timer.updates, afterHandler + 3);
  EXPECT_TRUE(timer.Armed());
  timer.SetOnTimer(timer.OnTimer());  // assigning the handler always re-arms
  EXPECT_EQ(timer.updates, afterHandler + 4);
}

TEST(ThreadTimer, TicksRepeatAndCarryTheSender) {
  TThreadTimer timer(nullptr);
  std::vector<TObject*> senders;
  timer.SetInterval(20);
  timer.SetOnTimer([&](TObject* sender) { senders.push_back(sender); });
  EXPECT_TRUE(PumpUntil([&] { return senders.size() >= 3; }));
  for (TObject* sender : senders) EXPECT_EQ(sender, &timer);
  timer.SetEnabled(false);
  const size_t stopped = senders.size();
  PumpFor(100);
  EXPECT_EQ(senders.size(), stopped);
}

TEST(ThreadTimer, RaisingHandlerGoesToTheApplicationAndTicksGoOn) {
  std::vector<std::string> handled;
  SetApplicationExceptionHandler([&](const std::exception& e) { handled.push_back(e.what()); });
  TThreadTimer timer(nullptr);
  TThreadTimer bystander(nullptr);
  int bystanderTicks = 0;
  bystander.SetInterval(20);
  bystander.SetOnTimer([&](TObject*) { ++bystanderTicks; });
  timer.SetInterval(20);
  timer.SetOnTimer([](TObject*) { throw Exception("tick failed"); });
  EXPECT_TRUE(PumpUntil([&] { return handled.size() >= 2 && bystanderTicks >= 2; }));
  SetApplicationExceptionHandler(nullptr);
  ASSERT_FALSE(handled.empty());
  EXPECT_EQ(handled.front(), "tick failed");
  EXPECT_TRUE(timer.Armed());
}

TEST(ThreadTimer, WindowProcedureAnswers) {
  TThreadTimer timer(nullptr);
  int ticks = 0;
  timer.SetEnabled(false);
  timer.SetOnTimer([&](TObject*) { ++ticks; });
  const platform::WindowHandle window = timer.TimerWindow();
  ASSERT_NE(window, 0u);
  EXPECT_EQ(TimerWindowProc(window, platform::kMsgTimer, 1, 0), 0);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(TimerWindowProc(window, platform::kMsgActivateApp, 1, 0), 0);
  EXPECT_EQ(TimerWindowProc(window, platform::kMsgUser + 5, 0, 0),
            platform::DefaultWindowProc(window, platform::kMsgUser + 5, 0, 0));
  EXPECT_EQ(ticks, 1);
}

}  // namespace
