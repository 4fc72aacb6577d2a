// The local time and its offset from UTC, in time zones set through TZ (in
// the POSIX form, which needs no zone database).

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/Clock.h"

namespace {

TEST(LocalNow, CarriesTheOffsetOfTheTimeZone) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved ? saved : "";
  const struct {
    const char* zone;
    int offset;
  } cases[] = {{"UTC0", 0}, {"XYZ-5:30", 330}, {"XYZ+8", -480}, {"XYZ+3:30", -210}};
  for (const auto& c : cases) {
    ::setenv("TZ", c.zone, 1);
    ::tzset();
    const std::time_t before = std::time(nullptr);
    const platform::LocalDateTime now = platform::LocalNow();
    EXPECT_EQ(now.utcOffsetMinutes, c.offset) << c.zone;
    // The local fields are UTC moved by the offset.
    std::tm utc{};
    const std::time_t shifted = before + c.offset * 60;
    ::gmtime_r(&shifted, &utc);
    EXPECT_EQ(now.year, utc.tm_year + 1900) << c.zone;
    EXPECT_EQ(now.month, utc.tm_mon + 1) << c.zone;
    EXPECT_EQ(now.day, utc.tm_mday) << c.zone;
    EXPECT_EQ(now.hour, utc.tm_hour) << c.zone;
    EXPECT_NEAR(now.minute * 60 + now.second, utc.tm_min * 60 + utc.tm_sec, 2) << c.zone;
  }
  if (saved) ::setenv("TZ", restore.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
