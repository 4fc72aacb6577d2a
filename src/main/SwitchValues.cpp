#include "main/SwitchValues.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "core/Wipe.h"
#include "main/MailException.h"
#include "platform/File.h"
#include "smtp/MessageText.h"

namespace {
constexpr std::string_view kInvalidPort = "SMTP server port \"%s\" is not a number from 1 to 65535.";
constexpr std::string_view kInvalidWait = "The value of switch /WAIT, \"%s\", is not a number of seconds from 1 to 3600.";
constexpr std::string_view kInvalidLevel = "The value of switch /V, \"%s\", is not a report level from 1 to 8.";
constexpr std::string_view kLineBreakInValue =
    "The value of switch /%s contains a line break or a null character, which cannot go into a mail command or "
    "header.";
constexpr std::string_view kLineBreakInPassword =
    "The password from %s contains a line break or a null character, which cannot go into a mail command.";
constexpr std::string_view kPasswordFileUnreadable = "The password file %s cannot be read.";
constexpr std::string_view kPasswordFileEmpty = "The first line of the password file %s is empty.";
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
  if (smtp_text::BreaksLine(value)) {
    throw EMailException(FillPlaceholder(kLineBreakInValue, switchName));
  }
}

void RefuseLineBreaksInPassword(const std::string& origin, const std::string& password) {
  if (smtp_text::BreaksLine(password)) {
    throw EMailException(FillPlaceholder(kLineBreakInPassword, origin));
  }
}

std::string PasswordFromFile(const std::string& path, std::size_t longest) {
  const platform::FileHandle file = platform::OpenFileForRead(path, platform::FileShare::kDenyWrite);
  if (file == platform::kInvalidFile) throw EMailException(FillPlaceholder(kPasswordFileUnreadable, path));
  // Read once into storage of its final size: the password is never copied.
  std::string text(longest + 1, '\0');
  const std::int64_t count = platform::ReadFile(file, text.data(), static_cast<std::int64_t>(text.size()));
  platform::CloseFile(file);
  if (count < 0) {
    Wipe(text);
    throw EMailException(FillPlaceholder(kPasswordFileUnreadable, path));
  }
  const std::string_view read(text.data(), static_cast<std::size_t>(count));
  const std::size_t length = std::min(read.find_first_of("\r\n"), read.size());
  WipeBytes(text.data() + length, text.size() - length);  // the line end and the lines after it
  text.resize(length);
  if (text.empty()) throw EMailException(FillPlaceholder(kPasswordFileEmpty, path));
  return text;
}
