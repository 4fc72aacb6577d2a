// The byte and line transfers of TTidewire. Every byte passes through
// SendBytes, ReceiveBytes and PeekBytes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/Wipe.h"
#include "net/Tidewire.h"
#include "net/TimerOffOnExit.h"
#include "net/TlsChannel.h"

namespace {

constexpr int kMaxBufferLength = 65535;
constexpr size_t kReplyDigits = 10;

}  // namespace

int TTidewire::SendBytes(const void* data, int length) {
  if (tls_) return tls_->Send(data, length);
  return platform::SendOnSocket(NativeSocket(), data, length);
}

int TTidewire::ReceiveBytes(void* buffer, int length) {
  if (tls_) return tls_->Receive(buffer, length, false);
  return platform::ReceiveOnSocket(NativeSocket(), buffer, length, false);
}

int TTidewire::PeekBytes(void* buffer, int length) {
  if (tls_) return tls_->Receive(buffer, length, true);
  return platform::ReceiveOnSocket(NativeSocket(), buffer, length, true);
}

void TTidewire::WaitForSocket(platform::SocketWait what) {
  if (tls_) {
    // The socket does not signal bytes that were taken from it already.
    if (what == platform::SocketWait::kReadable && tls_->ReadyToRead()) return;
    // Records not yet sent go first: no answer comes before them.
    if (tls_->OutputWaiting()) what = platform::SocketWait::kWritable;
  }
  platform::WaitForSocketOrMessage(NativeSocket(), what, kMaxWaitMilliseconds);
}

void TTidewire::Write(const std::string& text) {
  const size_t sent = SendText(text);
  Trace(TTraceKind::kData, {}, static_cast<std::int64_t>(sent));
}

void TTidewire::Writeln(const std::string& text) {
  ReportStatus(kStatusWriteln);
  // Line and line end meet in IoBuffer alone: a line that carries a secret
  // leaves no copy in freed memory.
  SendText(text, "\r\n");
  TraceSent(text);
}

void TTidewire::WriteLines(const std::vector<std::string>& lines) {
  ReportStatus(kStatusWriteln);
  std::string block;
  block.reserve(kIoBufferData);
  size_t traced = 0;
  const auto sendBlock = [&](size_t end) {
    SendText(block);
    block.clear();
    for (; traced < end; ++traced) TraceSent(lines[traced]);
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!block.empty() && block.size() + lines[i].size() + 2 > static_cast<size_t>(kIoBufferData)) sendBlock(i);
    block += lines[i];
    block += "\r\n";
  }
  if (!block.empty()) sendBlock(lines.size());
}

size_t TTidewire::SendText(std::string_view text, std::string_view ending) {
  ReportStatus(kStatusWrite);
  // Cut at the first zero byte, as the text's C form would be; the ending
  // follows only a text that was not cut.
  if (const size_t zero = text.find('\0'); zero != std::string_view::npos) {
    text = text.substr(0, zero);
    ending = {};
  }
  const size_t length = std::min(text.size(), static_cast<size_t>(kIoBufferData));
  const size_t endingLength = std::min(ending.size(), static_cast<size_t>(kIoBufferData) - length);
  std::copy_n(text.data(), length, IoBuffer);
  std::copy_n(ending.data(), endingLength, IoBuffer + length);  // an empty view's data may be null
  IoBuffer[length + endingLength] = '\0';
  SendBuffer(IoBuffer, 0);
  return length + endingLength;
}

bool TTidewire::SendStalled(std::chrono::steady_clock::time_point lastProgress) {
  if (!TimeSends || TimeOut <= 0 ||
      std::chrono::steady_clock::now() - lastProgress < std::chrono::milliseconds(TimeOut)) {
    return false;
  }
  TimedOut = true;
  Abort();
  return true;
}

template <typename OnSent>
bool TTidewire::SendWhole(const char* bytes, int count, bool pumping,
                          std::chrono::steady_clock::time_point& lastProgress, OnSent onSent) {
  int remaining = count;
  do {
    const int n = SendBytes(bytes + (count - remaining), remaining);
    if (n == 0) return false;
    if (n > 0) {
      remaining -= n;
      if (TimeSends) lastProgress = std::chrono::steady_clock::now();
      onSent(n);
    } else {
      RaiseUnlessWouldBlock();
      if (SendStalled(lastProgress)) break;
      WaitForSocket(platform::SocketWait::kWritable);
      // Unpumped, messages stay queued, and a waiting message ends every
      // wait at once: the short sleep keeps the retry from spinning then.
      if (!pumping) platform::SleepMilliseconds(1);
    }
    if (pumping) platform::PumpMessages();
  } while (remaining != 0 && !Canceled);
  return true;
}

void TTidewire::SendBuffer(const void* data, std::uint16_t length) {
  ReportStatus(kStatusSendingBuffer);
  TimerOn();
  TimerOffOnExit timerOff(*this);
  if (!Canceled) {
    const char* bytes = static_cast<const char*>(data);
    int count = length;
    if (count == 0) {
      const void* end = std::memchr(bytes, 0, kMaxBufferLength + 1);
      if (!end) throw ERangeError();
      count = static_cast<int>(static_cast<const char*>(end) - bytes);
    }
    auto lastProgress = std::chrono::steady_clock::now();
    // A send is never interrupted by handlers: no messages are dispatched.
    SendWhole(bytes, count, /*pumping=*/false, lastProgress, [](int) {});
  }
  if (Canceled) RaiseAborted(kErrSendAborted);
}

void TTidewire::SendStream(TStream& stream, const std::vector<std::string>& closingLines) {
  ReportStatus(kStatusSendStream);
  stream.SetPosition(0);
  if (!Canceled) {
    BytesSent = 0;
    const std::int64_t size = stream.Size();
    BytesTotal = size;
    std::string closing;
    for (const std::string& line : closingLines) closing += line + "\r\n";
    // However the send ends, the transcript learns how far it went.
    struct TraceOnExit {
      TTidewire& wire;
      ~TraceOnExit() { wire.Trace(TTraceKind::kData, {}, wire.BytesSent); }
    } traceOnExit{*this};
    // A mark left by an earlier wait must not make a cancel here look like a time-out.
    if (TimeSends) TimedOut = false;
    auto lastProgress = std::chrono::steady_clock::now();
    auto progressDue = lastProgress + std::chrono::milliseconds(ProgressInterval);
    const auto counted = [&](int n) {
      BytesSent += n;
      if (OnPacketSent) OnPacketSent(this);
      if (std::chrono::steady_clock::now() >= progressDue) {
        ReportProgress();
        progressDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(ProgressInterval);
      }
    };
    // The closing lines ride with the last bytes: one send less, and no
    // moment in which the server holds the data without its end.
    const int room = kIoBufferData - static_cast<int>(closing.size());
    bool closed = closing.empty();
    do {
      const std::int64_t chunk = std::min<std::int64_t>(size - stream.Position(), room);
      int got = static_cast<int>(stream.Read(IoBuffer, chunk));
      if (stream.Position() == size && !closed) {
        std::copy(closing.begin(), closing.end(), IoBuffer + got);
        got += static_cast<int>(closing.size());
        closed = true;
      }
      if (!SendWhole(IoBuffer, got, /*pumping=*/true, lastProgress, counted)) return;
    } while (!Canceled && (stream.Position() != size || !closed));
    if (!Canceled) {
      for (const std::string& line : closingLines) TraceSent(line);
    }
  }
  if (Canceled) RaiseAborted(kErrSendAborted);
}

void TTidewire::ReportProgress() {
  const auto megabytes = [](std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return std::string(text);
  };
  // The closing line counts among the bytes sent, not among those in all.
  const std::int64_t percent = BytesTotal > 0 ? std::min<std::int64_t>(BytesSent * 100 / BytesTotal, 100) : 100;
  const std::string progress = FillPlaceholder(
      FillPlaceholder(FillPlaceholder(kProgressSending, std::to_string(percent) + '%'), megabytes(BytesSent)),
      megabytes(BytesTotal));
  ReportStatus(kLevelReply, progress);
  if (OnProgress) OnProgress(progress);
}

void TTidewire::ReadLn(std::string& line) {
  ReportStatus(kStatusReadLn);
  int consumed = 0;
  TimerOn();
  TimerOffOnExit timerOff(*this);
  line.clear();
  int lineEnd = -1;  // index of the line feed within the line
  for (;;) {
    const int room = kIoBufferData - consumed;
    if (room == 0) throw ESockError(std::string(kErrLineTooLong));
    const int n = PeekBytes(IoBuffer + consumed, room);
    if (n == 0) {
      line.clear();
      return;
    }
    if (n > 0) {
      // The bytes before consumed were taken already and hold no line feed.
      if (const void* feed = std::memchr(IoBuffer + consumed, '\n', static_cast<size_t>(n))) {
        lineEnd = static_cast<int>(static_cast<const char*>(feed) - IoBuffer);
        break;
      }
      line.resize(static_cast<size_t>(consumed + n));
      const int got = ReceiveBytes(line.data() + consumed, n);
      consumed += std::max(got, 0);
      line.resize(static_cast<size_t>(consumed));
    } else {
      LastError = platform::LastSocketError();
      if (LastError == kWsaNotConnected) {
        // The socket was closed and replaced meanwhile: the same as a close by the peer.
        line.clear();
        return;
      }
      RaiseUnlessWouldBlock();
      WaitForSocket(platform::SocketWait::kReadable);
    }
    platform::PumpMessages();
    if (!Canceled) WaitTimeUp();
    if (Canceled) break;
  }
  if (Canceled) RaiseAborted(kErrReadLnAborted);
  line.resize(static_cast<size_t>(lineEnd + 1));
  const int got = ReceiveBytes(line.data() + consumed, lineEnd + 1 - consumed);
  line.resize(static_cast<size_t>(consumed + std::max(got, 0)));
  std::string_view text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  Trace(TTraceKind::kReceived, text);
}

void TTidewire::Transaction(const std::string& command, std::string& reply) {
  ReportStatus(kStatusTransaction);
  ReplyNumber = 0;
  Writeln(command);
  ReadReply(reply);
}

void TTidewire::SecretTransaction(const std::string& command, size_t secretFrom, std::string& reply) {
  ReportStatus(kStatusTransaction);
  ReplyNumber = 0;
  struct WipeOnExit {  // the line sent stays there otherwise, and an echo of it in the reply
    TTidewire& wire;
    ~WipeOnExit() { WipeBytes(wire.IoBuffer, sizeof wire.IoBuffer); }
  } wipeIoBuffer{*this};
  ReportStatus(kStatusWriteln);
  SendText(command, "\r\n");
  std::string shown = command.substr(0, std::min(secretFrom, command.size()));
  shown += kRedacted;
  TraceSent(shown);
  ReadReply(reply);
}

void TTidewire::ReadReply(std::string& reply) {
  std::string line;
  ReadLn(line);
  LastReply = line;
  if (!LastReply.empty()) {
    ReportStatus(kLevelReply, LastReply);
    size_t digits = 0;
    while (digits < std::min(LastReply.size(), kReplyDigits) && LastReply[digits] >= '0' && LastReply[digits] <= '9')
      ++digits;
    if (digits > 0) {
      std::int64_t value = std::stoll(LastReply.substr(0, digits));
      if (value > std::numeric_limits<std::int32_t>::max()) value = 0;
      if (value > std::numeric_limits<std::int16_t>::max()) throw ERangeError();
      ReplyNumber = static_cast<std::int16_t>(value);
    }
  }
  reply = LastReply;
}

bool TTidewire::DataAvailable() {
  ReportStatus(kStatusDataAvailable);
  return InputWaiting();
}

bool TTidewire::InputWaiting() { return PeekBytes(&peek_byte_, 1) >= 1; }

void TTidewire::ClearInput() {
  ReportStatus(kStatusClearingInput);
  const auto scratch = std::make_unique<char[]>(kIoBufferData);
  try {
    ReceiveBytes(scratch.get(), kIoBufferData);
  } catch (const ESockError&) {
    // Inside TLS a damaged record raises; here, as every error, it is ignored.
  }
}

void TTidewire::ExtractField(const std::string& text, char delimiter, std::int32_t n, std::string& field) {
  field.clear();
  std::int32_t delimiters = 0;
  for (const char c : text) {
    if (delimiters >= n) break;
    if (c == delimiter) {
      ++delimiters;
    } else if (delimiters == n - 1) {
      field += c;
    }
  }
}
