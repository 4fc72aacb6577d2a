#include "smtp/MessageStamp.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/Exceptions.h"
#include "platform/Entropy.h"
#include "platform/Sockets.h"

namespace {

constexpr std::string_view kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kAtomSpecials = "!#$%&'*+-/=?^_`{|}~";
constexpr std::string_view kFallbackDomain = "localhost";
constexpr std::string_view kNoRandomBytes =
    "The system's random generator gave no bytes for the message's identifier";
/// Bytes of randomness in an identifier.
constexpr std::size_t kIdentifierBytes = 16;

/// 0 for Sunday; the date in the proleptic Gregorian calendar.
int Weekday(int year, int month, int day) {
  static constexpr int kMonthOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) --year;
  return (year + year / 4 - year / 100 + year / 400 + kMonthOffsets[month - 1] + day) % 7;
}

bool IsAtomCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         kAtomSpecials.find(c) != std::string_view::npos;
}

/// An RFC 5322 dot-atom: atoms of atom characters joined by single dots.
bool IsDotAtom(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string_view::npos) {
    return false;
  }
  return std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || IsAtomCharacter(c); });
}

/// "[...]" holding printable ASCII other than "[", "]" and "\".
bool IsDomainLiteral(std::string_view text) {
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
  return std::all_of(text.begin() + 1, text.end() - 1,
                     [](char c) { return c > ' ' && c < 0x7F && c != '[' && c != ']' && c != '\\'; });
}

}  // namespace

std::string DateValue(const platform::LocalDateTime& time) {
  const int offset = std::abs(time.utcOffsetMinutes);
  const int month = std::clamp(time.month, 1, 12);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02d%02d",
                kWeekdays[Weekday(time.year, month, time.day)].data(), time.day, kMonths[month - 1].data(), time.year,
                time.hour, time.minute, time.second, time.utcOffsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
  return text;
}

std::string MessageIdDomain(const std::string& fromAddress) {
  const std::size_t at = fromAddress.rfind('@');
  if (at != std::string::npos) {
    const std::string_view domain = std::string_view(fromAddress).substr(at + 1);
    if (IsDotAtom(domain) || IsDomainLiteral(domain)) return std::string(domain);
  }
  const std::string host = platform::FullyQualifiedHostName();
  return IsDotAtom(host) ? host : std::string(kFallbackDomain);
}

std::string NewMessageId(const std::string& domain) {
  std::uint8_t bytes[kIdentifierBytes];
  if (!platform::SecureRandomBytes(bytes, sizeof bytes)) throw Exception(std::string(kNoRandomBytes));
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string id = "<";
  for (const std::uint8_t byte : bytes) {
    id += kHexDigits[byte >> 4];
    id += kHexDigits[byte & 15];
  }
  return id + "@" + domain + ">";
}
