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
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(now.utcOffsetMinutes, c.offset) << c.zone;
    // The local fields are UTC moved by the offset: read back as UTC and
    // moved back, they give a moment of the call (whatever hour or day
    // ended meanwhile).
    std::tm fields{};
    fields.tm_year = now.year - 1900;
    fields.tm_mon = now.month - 1;
    fields.tm_mday = now.day;
    fields.tm_hour = now.hour;
    fields.tm_min = now.minute;
    fields.tm_sec = now.second;
    const std::time_t moment = ::timegm(&fields) - c.offset * 60;
    EXPECT_GE(moment, before) << c.zone;
    EXPECT_LE(moment, after) << c.zone;
  }
  if (saved) ::setenv("TZ", restore.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
