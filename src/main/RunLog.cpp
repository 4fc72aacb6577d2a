#include "main/RunLog.h"

#include <cstdio>

#include "core/Exceptions.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace {

constexpr std::string_view kLineBreakShown = " | ";

// The events of the connection, each followed by its value.
constexpr std::string_view kLogConnected = "connected to ";
constexpr std::string_view kLogNotConnected = "not connected to ";
constexpr std::string_view kLogTls = "TLS: ";
constexpr std::string_view kLogSent = "> ";
constexpr std::string_view kLogReceived = "< ";
constexpr std::string_view kLogData = "message data: ";
constexpr std::string_view kLogBytes = " bytes";
constexpr std::string_view kLogClosed = "connection closed";

/// event as one line of the log file.
std::string LogLine(std::string_view event) {
  while (!event.empty() && (event.back() == '\r' || event.back() == '\n')) event.remove_suffix(1);
  std::string line;
  for (size_t i = 0; i < event.size(); ++i) {
    const auto c = static_cast<unsigned char>(event[i]);
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < event.size() && event[i + 1] == '\n') ++i;
      line += kLineBreakShown;
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      line += escaped;
    } else if (const unsigned char control = platform::Utf8C1Control(event, i)) {
      // As the console shows it: a server's text must not drive the
      // terminal that shows the log.
      char escaped[7];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", control);
      line += escaped;
      ++i;
    } else {
      line += static_cast<char>(c);
    }
  }
  return line;
}

}  // namespace

std::string MaskedCommandLine(const TCmdLineParser& parser, std::span<const std::string_view> secretSwitches) {
  std::string line;
  for (const std::string& shown : parser.MaskedArguments(secretSwitches, kRedacted)) {
    if (!line.empty()) line += ' ';
    const bool quoted = shown.empty() || shown.find_first_of(" \t") != std::string::npos;
    line += quoted ? "\"" + shown + "\"" : shown;
  }
  return line;
}

TRunLog::TRunLog(const TSecretList& secrets)
    : secrets_(secrets), runTag_(" [" + std::to_string(platform::ProcessId()) + "] ") {}

TRunLog::~TRunLog() {
  if (file_ != platform::kInvalidFile) platform::CloseFile(file_);
}

void TRunLog::Open(const std::string& path) {
  path_ = path;
  file_ = platform::OpenFileForAppend(path);
  if (file_ == platform::kInvalidFile) Fail();
}

void TRunLog::Write(std::string_view event) {
  if (file_ == platform::kInvalidFile) return;
  const std::string line = LogLine(platform::LogFileText(secrets_.Redacted(event)));
  if (!platform::AppendLine(file_, platform::LocalTimestamp() + runTag_ + line)) Fail();
}

void TRunLog::Trace(const TTidewire& wire, const TTraceEvent& event) {
  switch (event.Kind) {
    case TTraceKind::kConnected:
      Write(std::string(kLogConnected) + std::string(event.Text));
      break;
    case TTraceKind::kConnectFailed:
      Write(std::string(kLogNotConnected) + std::string(event.Text));
      break;
    case TTraceKind::kTlsStarted: {
      const platform::TlsSessionInfo tls = wire.TlsInfo();
      Write(std::string(kLogTls) + tls.protocol + ", " + tls.cipher + ", subject " + tls.subject + ", issuer " +
            tls.issuer);
      break;
    }
    case TTraceKind::kSent:
      Write(std::string(kLogSent) + std::string(event.Text));
      break;
    case TTraceKind::kReceived:
      Write(std::string(kLogReceived) + std::string(event.Text));
      break;
    case TTraceKind::kData:
      Write(std::string(kLogData) + std::to_string(event.Bytes) + std::string(kLogBytes));
      break;
    case TTraceKind::kClosed:
      Write(kLogClosed);
      break;
  }
}

void TRunLog::Fail() {
  // Half a transcript could mislead: once a line is lost, none follows.
  if (file_ != platform::kInvalidFile) platform::CloseFile(file_);
  file_ = platform::kInvalidFile;
  problem_ = FillPlaceholder(kLogWarning, path_);
}
