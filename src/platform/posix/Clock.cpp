#include "platform/Clock.h"

#include <cstdio>
#include <ctime>

namespace platform {

std::string LocalTimestamp() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
  return text;
}

LocalDateTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  tm local{};
  ::localtime_r(&now, &local);
  // tm_gmtoff is the offset of this very moment (the zone's rules and its
  // daylight saving time applied), unlike the global timezone variable.
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
          local.tm_sec, static_cast<int>(local.tm_gmtoff / 60)};
}

}  // namespace platform
