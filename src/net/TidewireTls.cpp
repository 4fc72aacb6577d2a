// TLS on TTidewire's connection: the handshake in the component's waiting
// style, and its end before the socket closes.

#include <algorithm>

#include "net/Tidewire.h"
#include "net/TimerOffOnExit.h"
#include "net/TlsChannel.h"

void TTidewire::StartTls(const platform::TlsSettings& settings) {
  ReportStatus(kStatusStartTls);
  if (!Connected) throw ESockError(std::string(kErrNotConnected));
  if (tls_) throw ESockError(std::string(kErrTlsRunning));
  TimerOn();
  TimerOffOnExit timerOff(*this);
  auto channel = std::make_unique<TTlsChannel>(NativeSocket(), settings);
  const std::uint32_t closesBefore = closes_;
  for (;;) {
    const TTlsChannel::Progress progress = channel->Handshake();
    if (progress == TTlsChannel::Progress::kDone) break;
    if (progress == TTlsChannel::Progress::kSocketFailed) {
      RaiseUnlessWouldBlock();
    } else {
      WaitForSocket(progress == TTlsChannel::Progress::kNeedWrite ? platform::SocketWait::kWritable
                                                                   : platform::SocketWait::kReadable);
    }
    platform::PumpMessages();
    // A close noticed while pumping replaced the socket under the handshake.
    if (closes_ != closesBefore) throw ESockError(std::string(kErrTlsClosedInHandshake));
    if (!Canceled) WaitTimeUp();
    if (Canceled) RaiseAborted(TimedOut ? kErrTlsTimedOut : kErrTlsAborted);
  }
  channel->VerifyPeer();
  tls_ = std::move(channel);
  Trace(TTraceKind::kTlsStarted);
}

platform::TlsSessionInfo TTidewire::TlsInfo() const { return tls_ ? tls_->Info() : platform::TlsSessionInfo{}; }

void TTidewire::EndTls() {
  if (!tls_) return;
  // As long as a time-out allows, and no longer than the system would keep
  // sending what a plain socket took.
  constexpr std::chrono::milliseconds kCloseLimit{2000};
  tls_->Close(TimeOut > 0 ? std::min(kCloseLimit, std::chrono::milliseconds(TimeOut)) : kCloseLimit);
  // An orderly close: a reset could drop the close_notify just sent.
  platform::SetLinger(NativeSocket(), false, 0);
  tls_.reset();
}
