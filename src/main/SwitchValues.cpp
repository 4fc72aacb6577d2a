#include "main/SwitchValues.h"

#include <optional>
#include <string_view>

#include "main/MailException.h"

namespace {
constexpr std::string_view kInvalidPort = "SMTP server port \"%s\" is not a number from 1 to 65535.";
constexpr std::string_view kInvalidWait = "The value of switch /WAIT, \"%s\", is not a number of seconds from 1 to 3600.";
constexpr std::string_view kInvalidLevel = "The value of switch /V, \"%s\", is not a report level from 1 to 8.";
constexpr std::string_view kLineBreakInValue =
    "The value of switch /%s contains a line break or a null character, which cannot go into a mail command or "
    "header.";
constexpr unsigned kHighestPort = 65535;
constexpr unsigned kLongestWait = 3600;
constexpr unsigned kHighestLevel = 8;
constexpr std::string_view kBareReportSwitch = "V";

/// text as a decimal number from 1 to highest; nullopt for anything else.
std::optional<unsigned> NumberUpTo(const std::string& text, unsigned highest) {
  if (text.empty()) return std::nullopt;
  unsigned number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
    if (number > highest) return std::nullopt;
  }
  if (number == 0) return std::nullopt;
  return number;
}
}  // namespace

TServerAddress SplitServerAddress(const std::string& value) {
  const size_t colon = value.rfind(':');
  if (colon == std::string::npos) return {value, std::nullopt};
  const std::string portText = value.substr(colon + 1);
  const std::optional<unsigned> port = NumberUpTo(portText, kHighestPort);
  if (!port) throw EMailException(FillPlaceholder(kInvalidPort, portText));
  return {value.substr(0, colon), static_cast<std::uint16_t>(*port)};
}

int WaitSeconds(const std::string& value) {
  const std::optional<unsigned> seconds = NumberUpTo(value, kLongestWait);
  if (!seconds) throw EMailException(FillPlaceholder(kInvalidWait, value));
  return static_cast<int>(*seconds);
}

int ReportLevelOf(const std::string& value) {
  if (value == kBareReportSwitch) return static_cast<int>(kHighestLevel);
  const std::optional<unsigned> level = NumberUpTo(value, kHighestLevel);
  if (!level) throw EMailException(FillPlaceholder(kInvalidLevel, value));
  return static_cast<int>(*level);
}

void RefuseLineBreaks(const std::string& switchName, const std::string& value) {
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw EMailException(FillPlaceholder(kLineBreakInValue, switchName));
  }
}
