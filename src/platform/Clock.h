#pragma once
// The wall clock as people read it: for the lines of a run log, and for the
// date a message carries.

#include <string>

namespace platform {

/// The local date and time now, to the millisecond: "2024-05-31 23:59:58.123".
std::string LocalTimestamp();

/// A moment in the system's local time, with that time's offset from UTC.
struct LocalDateTime {
  int year = 1970;
  int month = 1;     // 1 to 12
  int day = 1;       // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;    // 0 to 60 (a leap second)
  /// Local time minus UTC, in minutes: +60 for Central European winter time,
  /// -300 for New York's; daylight saving time included when in force.
  int utcOffsetMinutes = 0;
};

/// Now in the system's time zone, the offset being the one in force now.
LocalDateTime LocalNow();

}  // namespace platform
