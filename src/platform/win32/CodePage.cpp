#include "platform/CodePage.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace platform {

namespace {
constexpr UINT kKoi8rCodePage = 20866;

/// Code pages whose mail (IANA) name is not derived from the number.
struct NamedCodePage {
  UINT codePage;
  const char* name;
};
constexpr NamedCodePage kNamedCodePages[] = {
    {874, "windows-874"}, {932, "Shift_JIS"}, {936, "GBK"},      {949, "EUC-KR"},  {950, "Big5"},
    {20866, "KOI8-R"},    {21866, "KOI8-U"},  {54936, "GB18030"}, {65001, "UTF-8"},
};

/// The mail charset name of codePage: a DOS page nnn is IBMnnn, a Windows
/// page 125x windows-125x, 2859x ISO-8859-x; any other "cp" and its number,
/// as decoders know them.
std::string CharsetName(UINT codePage) {
  for (const NamedCodePage& named : kNamedCodePages) {
    if (named.codePage == codePage) return named.name;
  }
  const std::string number = std::to_string(codePage);
  if (codePage >= 1250 && codePage <= 1258) return "windows-" + number;
  if (codePage >= 28591 && codePage <= 28605) return "ISO-8859-" + std::to_string(codePage - 28590);
  if (codePage >= 437 && codePage <= 869 && codePage != 720 && codePage != 737) return "IBM" + number;
  return "cp" + number;
}
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

std::string OemCharsetName() { return CharsetName(::GetOEMCP()); }

std::string SystemCharsetName() { return CharsetName(::GetACP()); }

std::string LogFileText(const std::string& text) {
  const int size = static_cast<int>(text.size());
  if (text.empty() || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0) > 0) {
    return text;
  }
  return ConvertToUtf8(text, "", ::GetACP()).value_or(text);
}

std::optional<std::string> ConvertToUtf8(const std::string& text, const char* /*ianaName*/, unsigned codePage) {
  if (text.empty()) return text;
  const int size = static_cast<int>(text.size());
  const int unitCount = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (unitCount <= 0) return std::nullopt;
  std::vector<wchar_t> units(static_cast<size_t>(unitCount));
  ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, units.data(), unitCount);
  const int byteCount = ::WideCharToMultiByte(CP_UTF8, 0, units.data(), unitCount, nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<size_t>(std::max(byteCount, 0)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, units.data(), unitCount, result.data(), byteCount, nullptr, nullptr);
  return result;
}

}  // namespace platform
