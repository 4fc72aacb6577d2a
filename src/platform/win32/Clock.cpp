#include "platform/Clock.h"

#include <windows.h>

#include <cstdio>

namespace platform {

namespace {
/// FILETIME counts 100 ns units.
constexpr long long kFileTimeUnitsPerMinute = 600000000LL;

long long FileTimeUnits(const SYSTEMTIME& time) {
  FILETIME file{};
  ::SystemTimeToFileTime(&time, &file);
  return static_cast<long long>((static_cast<unsigned long long>(file.dwHighDateTime) << 32) | file.dwLowDateTime);
}
}  // namespace

std::string LocalTimestamp() {
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", local.wYear, local.wMonth, local.wDay,
                local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
  return text;
}

LocalDateTime LocalNow() {
  // One UTC reading turned into local time by the zone's rules for that
  // moment: the offset is the difference of the two, daylight saving time
  // included, and the local time shown is the one the offset belongs to.
  SYSTEMTIME utc;
  ::GetSystemTime(&utc);
  SYSTEMTIME local = utc;
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  const long long offset = (FileTimeUnits(local) - FileTimeUnits(utc)) / kFileTimeUnitsPerMinute;
  return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
          static_cast<int>(offset)};
}

}  // namespace platform
