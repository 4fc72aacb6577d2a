#include "platform/Text.h"

#include <windows.h>

namespace platform {

std::string AnsiUpperCase(const std::string& s) {
  std::string result = s;
  if (!result.empty()) ::CharUpperBuffA(result.data(), static_cast<DWORD>(result.size()));
  return result;
}

int AnsiCompareText(const std::string& a, const std::string& b) {
  return ::CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) - CSTR_EQUAL;
}

}  // namespace platform
