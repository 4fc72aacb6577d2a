// Fast fallback without sockets: the order in which a server's addresses are
// tried, and when each attempt starts.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/FastFallback.h"

namespace {

using Clock = platform::FallbackSchedule::Clock;
using std::chrono::milliseconds;

std::vector<platform::SocketAddress> Addresses(const std::vector<std::string>& texts) {
  std::vector<platform::SocketAddress> addresses;
  for (const std::string& text : texts) addresses.push_back(*platform::AddressOfLiteral(text.c_str()));
  return addresses;
}

TEST(FallbackOrder, FamiliesTakeTurnsFromTheResolversFirst) {
  struct Case {
    const char* name;
    std::vector<std::string> resolved;
    std::vector<std::string> tried;
  };
  const Case cases[] = {
      {"nothing", {}, {}},
      {"IPv4 alone keeps its order", {"192.0.2.2", "192.0.2.1"}, {"192.0.2.2", "192.0.2.1"}},
      {"IPv6 first", {"2001:db8::1", "2001:db8::2", "192.0.2.1", "192.0.2.2"},
       {"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2"}},
      {"IPv4 first", {"192.0.2.1", "192.0.2.2", "2001:db8::1"}, {"192.0.2.1", "2001:db8::1", "192.0.2.2"}},
      {"the longer family's rest at the end", {"2001:db8::1", "192.0.2.1", "2001:db8::2", "2001:db8::3"},
       {"2001:db8::1", "192.0.2.1", "2001:db8::2", "2001:db8::3"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::InterleaveFamilies(Addresses(c.resolved)), Addresses(c.tried)) << c.name;
  }
}

// The schedule driven as a race drives it: from one moment to the next that
// the schedule names, or to an attempt's failure when that comes sooner.
TEST(FallbackSchedule, EachAttemptStartsAfterTheDelayOrAtOnceAfterAFailure) {
  struct Case {
    const char* name;
    std::size_t attempts;
    std::vector<int> failures;  // ms after the start, in order
    std::vector<int> starts;    // ms after the start
  };
  const Case cases[] = {
      {"one address", 1, {}, {0}},
      {"nobody answers", 3, {}, {0, 250, 500}},
      {"the first refuses at once", 3, {0}, {0, 0, 250}},
      {"the first fails after a while", 3, {100}, {0, 100, 350}},
  };
  for (const Case& c : cases) {
    const Clock::time_point start{};
    platform::FallbackSchedule schedule(c.attempts, start);
    std::vector<int> starts;
    auto failure = c.failures.begin();
    Clock::time_point now = start;
    for (;;) {
      while (const std::optional<std::size_t> due = schedule.StartDue(now)) {
        EXPECT_EQ(*due, starts.size()) << c.name;  // in their order
        starts.push_back(static_cast<int>((now - start) / milliseconds(1)));
      }
      const std::optional<Clock::duration> untilDue = schedule.UntilDue(now);
      if (!untilDue) break;
      const Clock::time_point failsAt = failure != c.failures.end() ? start + milliseconds(*failure) : Clock::time_point::max();
      if (failsAt <= now + *untilDue) {
        now = failsAt;
        schedule.Failed(now);
        ++failure;
      } else {
        now += *untilDue;
      }
    }
    EXPECT_EQ(starts, c.starts) << c.name;
    EXPECT_TRUE(schedule.AllStarted()) << c.name;
  }
}

}  // namespace
