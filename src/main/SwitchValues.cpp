#include "main/SwitchValues.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "core/Wipe.h"
#include "encoding/Charsets.h"
#include "main/MailException.h"
#include "platform/File.h"
#include "platform/Sockets.h"
#include "platform/Text.h"
#include "smtp/MessageText.h"
#include "smtp/Mailbox.h"

namespace {
constexpr std::string_view kInvalidPort = "SMTP server port \"%s\" is not a number from 1 to 65535.";
constexpr std::string_view kUnbracketedIPv6 =
    "The SMTP server \"%s\" has more than one colon: an IPv6 address goes in brackets, as [2001:db8::25] or "
    "[2001:db8::25]:587.";
constexpr std::string_view kBadBracketedServer =
    "The SMTP server \"%s\" is no IPv6 address in brackets, with a colon and a port after it if wanted, as "
    "[2001:db8::25] or [2001:db8::25]:587.";
constexpr std::string_view kInvalidWait = "The value of switch /WAIT, \"%s\", is not a number of seconds from 1 to 3600.";
constexpr std::string_view kInvalidRetry =
    "The value of switch /RETRY, \"%s\", is not a number of retries from 1 to 10, followed if wanted by a colon and "
    "the seconds to wait before the first, from 1 to 3600.";
constexpr std::string_view kInvalidMaxRecipients =
    "The value of switch /MAXRCPT, \"%s\", is not a number of recipients from 1 to 100000.";
constexpr std::string_view kInvalidDsn =
    "The value of switch /DSN, \"%s\", is not NEVER or a list of SUCCESS, FAILURE and DELAY joined by commas.";
constexpr std::string_view kInvalidDsnReturn = "The value of switch /DSNRET, \"%s\", is not HDRS or FULL.";
constexpr std::string_view kInvalidLevel = "The value of switch /V, \"%s\", is not a report level from 1 to 8.";
constexpr std::string_view kLineBreakInValue =
    "The value of switch /%s contains a line break or a null character, which cannot go into a mail command or "
    "header.";
constexpr std::string_view kLineBreakInPassword =
    "The password from %s contains a line break or a null character, which cannot go into a mail command.";
constexpr std::string_view kPasswordFileUnreadable = "The password file %s cannot be read.";
constexpr std::string_view kPasswordFileEmpty = "The first line of the password file %s is empty.";
constexpr std::string_view kUnknownCharset =
    "The value of switch /CS, \"%s\", is no charset name known here (such as UTF-8, windows-1251, KOI8-R or "
    "ISO-8859-1).";
constexpr std::string_view kCutCharset = "The value of /CS was cut at \"-\" (write /ES first to keep it whole)";
constexpr unsigned kHighestPort = 65535;
constexpr unsigned kLongestWait = 3600;
constexpr unsigned kMostRetries = 10;
constexpr unsigned kHighestLevel = 8;
constexpr unsigned kMostRecipients = 100000;
constexpr std::string_view kDsnNever = "NEVER";
constexpr std::string_view kDsnEvents[] = {"SUCCESS", "FAILURE", "DELAY"};
constexpr std::string_view kDsnReturns[] = {"HDRS", "FULL"};
constexpr std::string_view kBareReportSwitch = "V";
/// What /V alone shows: the dialogue and what the command line lost, not the internal steps.
constexpr int kBareReportLevel = 1;
constexpr std::string_view kNoMailAddress = "The value of switch /%s, \"%s\", is no mail address.";

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

/// The port of "host:port" from the colon on; raises EMailException for one
/// that is not a number from 1 to 65535.
std::uint16_t PortAfter(const std::string& value, size_t colon) {
  const std::string portText = value.substr(colon + 1);
  const std::optional<unsigned> port = NumberUpTo(portText, kHighestPort);
  if (!port) throw EMailException(FillPlaceholder(kInvalidPort, portText));
  return static_cast<std::uint16_t>(*port);
}

TServerAddress SplitServerAddress(const std::string& value) {
  if (!value.empty() && value.front() == '[') {
    const size_t close = value.find(']');
    const std::string host = value.substr(1, close == std::string::npos ? 0 : close - 1);
    if (close == std::string::npos || !platform::IPv6Literal(host.c_str()) ||
        (close + 1 < value.size() && value[close + 1] != ':')) {
      throw EMailException(FillPlaceholder(kBadBracketedServer, value));
    }
    if (close + 1 == value.size()) return {host, std::nullopt};
    return {host, PortAfter(value, close + 1)};
  }
  const size_t colon = value.rfind(':');
  if (colon == std::string::npos) return {value, std::nullopt};
  if (value.find(':') != colon) throw EMailException(FillPlaceholder(kUnbracketedIPv6, value));
  return {value.substr(0, colon), PortAfter(value, colon)};
}

int WaitSeconds(const std::string& value) {
  const std::optional<unsigned> seconds = NumberUpTo(value, kLongestWait);
  if (!seconds) throw EMailException(FillPlaceholder(kInvalidWait, value));
  return static_cast<int>(*seconds);
}

std::uint32_t TRetrySettings::WaitBefore(int retry) const {
  std::uint64_t seconds = static_cast<std::uint64_t>(Seconds);
  for (int i = 1; i < retry && seconds < kLongestWait; ++i) seconds *= 2;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(seconds, kLongestWait));
}

TRetrySettings RetryOf(const std::string& value) {
  const size_t colon = value.find(':');
  const std::optional<unsigned> count = NumberUpTo(value.substr(0, colon), kMostRetries);
  const std::optional<unsigned> seconds =
      colon == std::string::npos ? std::optional<unsigned>(60) : NumberUpTo(value.substr(colon + 1), kLongestWait);
  if (!count || !seconds) throw EMailException(FillPlaceholder(kInvalidRetry, value));
  return {static_cast<int>(*count), static_cast<int>(*seconds)};
}

int ReportLevelOf(const std::string& value) {
  if (value == kBareReportSwitch) return kBareReportLevel;
  const std::optional<unsigned> level = NumberUpTo(value, kHighestLevel);
  if (!level) throw EMailException(FillPlaceholder(kInvalidLevel, value));
  return static_cast<int>(*level);
}

void RefuseNoMailAddress(const std::string& switchName, const std::string& value, const std::string& hint) {
  if (mailbox::Extract(value).find('@') == std::string::npos) {
    throw EMailException(FillPlaceholder(FillPlaceholder(kNoMailAddress, switchName), value) + hint);
  }
}

void RefuseLineBreaks(const std::string& switchName, const std::string& value) {
  if (smtp_text::BreaksLine(value)) {
    throw EMailException(FillPlaceholder(kLineBreakInValue, switchName));
  }
}

std::string MailCharsetOf(const std::string& value, bool cut) {
  if (cut) throw EMailException(std::string(kCutCharset));
  RefuseLineBreaks("CS", value);
  const std::optional<charsets::TCharset> charset = charsets::Known(value);
  if (!charset) throw EMailException(FillPlaceholder(kUnknownCharset, value));
  return std::string(charset->name);
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

int MaxRecipientsOf(const std::string& value) {
  const std::optional<unsigned> count = NumberUpTo(value, kMostRecipients);
  if (!count) throw EMailException(FillPlaceholder(kInvalidMaxRecipients, value));
  return static_cast<int>(*count);
}

std::string DsnNotifyOf(const std::string& value) {
  const std::string upper = platform::AnsiUpperCase(value);
  if (upper == kDsnNever) return upper;
  std::vector<std::string_view> seen;
  std::string_view rest = upper;
  for (;;) {
    const size_t comma = rest.find(',');
    const std::string_view event = rest.substr(0, comma);
    const bool known = std::find(std::begin(kDsnEvents), std::end(kDsnEvents), event) != std::end(kDsnEvents);
    if (!known || std::find(seen.begin(), seen.end(), event) != seen.end()) {
      throw EMailException(FillPlaceholder(kInvalidDsn, value));
    }
    seen.push_back(event);
    if (comma == std::string_view::npos) return upper;
    rest.remove_prefix(comma + 1);
  }
}

std::string DsnReturnOf(const std::string& value) {
  const std::string upper = platform::AnsiUpperCase(value);
  if (std::find(std::begin(kDsnReturns), std::end(kDsnReturns), upper) == std::end(kDsnReturns)) {
    throw EMailException(FillPlaceholder(kInvalidDsnReturn, value));
  }
  return upper;
}
