#include "platform/Clock.h"

#include <windows.h>

#include <cstdio>

namespace platform {

std::string LocalTimestamp() {
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", local.wYear, local.wMonth, local.wDay,
                local.wHour, local.wMinute, local.wSecond, local.wMilliseconds);
  return text;
}

}  // namespace platform
