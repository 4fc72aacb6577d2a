#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace platform {

// The locale's codeset here is usually UTF-8, where bytes are not
// characters; only the ASCII letters change case.
std::string AnsiUpperCase(const std::string& s) {
  std::string result = s;
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

int AnsiCompareText(const std::string& a, const std::string& b) {
  const std::string ua = AnsiUpperCase(a), ub = AnsiUpperCase(b);
  const int c = std::memcmp(ua.data(), ub.data(), std::min(ua.size(), ub.size()));
  if (c != 0) return c;
  return ua.size() < ub.size() ? -1 : ua.size() > ub.size() ? 1 : 0;
}

}  // namespace platform
