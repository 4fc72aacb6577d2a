#include "main/SwitchValues.h"

#include <string_view>

#include "main/MailException.h"

namespace {
constexpr std::string_view kInvalidPort = "SMTP server port \"%s\" is not a number from 1 to 65535.";
constexpr std::string_view kLineBreakInValue =
    "The value of switch /%s contains a line break or a null character, which cannot go into a mail command or "
    "header.";
constexpr unsigned kHighestPort = 65535;
}  // namespace

TServerAddress SplitServerAddress(const std::string& value) {
  const size_t colon = value.rfind(':');
  if (colon == std::string::npos) return {value, std::nullopt};
  const std::string portText = value.substr(colon + 1);
  bool valid = !portText.empty();
  unsigned port = 0;
  for (const char c : portText) {
    if (c < '0' || c > '9') {
      valid = false;
      break;
    }
    port = port * 10 + static_cast<unsigned>(c - '0');
    if (port > kHighestPort) {
      valid = false;
      break;
    }
  }
  if (!valid || port == 0) throw EMailException(FillPlaceholder(kInvalidPort, portText));
  return {value.substr(0, colon), static_cast<std::uint16_t>(port)};
}

void RefuseLineBreaks(const std::string& switchName, const std::string& value) {
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw EMailException(FillPlaceholder(kLineBreakInValue, switchName));
  }
}
