#include "platform/CodePage.h"

#include <windows.h>

#include <vector>

namespace platform {

namespace {
constexpr UINT kKoi8rCodePage = 20866;
}  // namespace

std::string ConvertAnsiToOem(const std::string& text) {
  std::string result = text;
  if (!result.empty()) ::CharToOemBuffA(text.data(), result.data(), static_cast<DWORD>(text.size()));
  return result;
}

// One UTF-16 unit per subject byte is enough for any ANSI code page; a
// multi-byte page fills fewer, and only the units converted are kept.
std::string ConvertAnsiToKoi8r(const std::string& text) {
  if (text.empty()) return text;
  const int size = static_cast<int>(text.size());
  std::vector<wchar_t> units(text.size());
  const int unitCount = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, units.data(), size);
  if (unitCount <= 0) return std::string();
  std::string result(static_cast<size_t>(unitCount), '\0');
  const int byteCount =
      ::WideCharToMultiByte(kKoi8rCodePage, 0, units.data(), unitCount, result.data(), unitCount, nullptr, nullptr);
  result.resize(byteCount > 0 ? static_cast<size_t>(byteCount) : 0);
  return result;
}

}  // namespace platform
