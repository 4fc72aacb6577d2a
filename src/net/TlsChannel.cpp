#include "net/TlsChannel.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "core/Exceptions.h"
#include "net/SocketTexts.h"
#include "platform/Messages.h"

namespace {

constexpr int kReceiveChunk = 32 * 1024;
// How much of what a peer still sends after close_notify is read before the socket closes.
constexpr size_t kDrainLimit = 64 * 1024;
constexpr size_t kQuotedLength = 60;
// First byte of a TLS record a server opens with: an alert or a handshake.
constexpr unsigned char kRecordAlert = 21;
constexpr unsigned char kRecordHandshake = 22;

/// The start of what a server said instead of TLS, up to its first line end,
/// with every unprintable byte shown as "?".
std::string Quoted(const char* bytes, int count) {
  std::string text;
  for (int i = 0; i < count && text.size() < kQuotedLength; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r' || c == '\n') break;
    text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return text;
}

[[noreturn]] void RaiseTlsError(const platform::TlsError& error) { throw ESockError(error.what()); }

}  // namespace

TTlsChannel::TTlsChannel(platform::SocketHandle socket, const platform::TlsSettings& settings) : socket_(socket) {
  try {
    session_ = platform::CreateTlsSession(settings);
  } catch (const platform::TlsError& e) {
    RaiseTlsError(e);
  }
}

TTlsChannel::Progress TTlsChannel::Handshake() {
  const auto blocked = [](Progress wait) {
    return platform::LastSocketError() == kWsaWouldBlock ? wait : Progress::kSocketFailed;
  };
  try {
    for (;;) {
      if (Flush() == platform::kSocketError) return blocked(Progress::kNeedWrite);
      if (handshake_done_) return Progress::kDone;
      if (!started_) {
        RefuseEarlyData();
        started_ = true;
      } else {
        const int n = ReceiveCiphertext();
        if (n == platform::kSocketError) return blocked(Progress::kNeedRead);
        if (n == 0) throw ESockError(std::string(kErrTlsClosedInHandshake));
      }
      handshake_done_ = session_->Handshake(incoming_, outgoing_);
    }
  } catch (const platform::TlsError& e) {
    RaiseTlsError(e);
  }
}

void TTlsChannel::VerifyPeer() {
  try {
    session_->VerifyPeer();
  } catch (const platform::TlsError& e) {
    RaiseTlsError(e);
  }
  // Application data may have come with the last handshake bytes; the
  // session holds it, or incoming_ does.
  decrypt_due_ = true;
}

void TTlsChannel::RefuseEarlyData() {
  char early[kQuotedLength];
  const int n = platform::ReceiveOnSocket(socket_, early, sizeof early, /*peek=*/true);
  if (n > 0) throw ESockError(FillPlaceholder(kErrTlsEarlyData, Quoted(early, n)));
  if (n == 0) throw ESockError(std::string(kErrTlsClosedInHandshake));
}

int TTlsChannel::ReceiveCiphertext() {
  char chunk[kReceiveChunk];
  const int n = platform::ReceiveOnSocket(socket_, chunk, kReceiveChunk, /*peek=*/false);
  if (n <= 0) return n;
  if (!heard_server_) {
    heard_server_ = true;
    const auto first = static_cast<unsigned char>(chunk[0]);
    if (first != kRecordHandshake && first != kRecordAlert)
      throw ESockError(FillPlaceholder(kErrTlsNotTls, Quoted(chunk, n)));
  }
  incoming_.append(chunk, static_cast<size_t>(n));
  decrypt_due_ = true;
  return n;
}

int TTlsChannel::Flush() {
  while (sent_ < outgoing_.size()) {
    const int n = platform::SendOnSocket(socket_, outgoing_.data() + sent_,
                                         static_cast<int>(std::min<size_t>(outgoing_.size() - sent_, INT_MAX)));
    if (n <= 0) return platform::kSocketError;
    sent_ += static_cast<size_t>(n);
  }
  outgoing_.clear();
  sent_ = 0;
  return 0;
}

int TTlsChannel::Send(const void* data, int length) {
  if (Flush() == platform::kSocketError) return platform::kSocketError;
  const char* bytes = static_cast<const char*>(data);
  try {
    for (int queued = 0; queued < length;) {
      const int n = std::min(length - queued, session_->MaxRecordPlaintext());
      session_->Encrypt({bytes + queued, static_cast<size_t>(n)}, outgoing_);
      queued += n;
    }
  } catch (const platform::TlsError& e) {
    RaiseTlsError(e);
  }
  if (Flush() == platform::kSocketError && platform::LastSocketError() != kWsaWouldBlock) return platform::kSocketError;
  return length;
}

int TTlsChannel::Fill() {
  // Records still waiting go first: the answer may depend on them.
  if (Flush() == platform::kSocketError && platform::LastSocketError() != kWsaWouldBlock) return platform::kSocketError;
  bool received = false;
  while (taken_ == plaintext_.size()) {
    if (ended_) return 0;
    if (!decrypt_due_) {
      if (received) {
        // Records came that held no plaintext (session tickets, say): the
        // caller learns "nothing yet" and looks at its clock and messages
        // before it asks again, however fast such records keep coming.
        platform::SetLastSocketError(kWsaWouldBlock);
        return platform::kSocketError;
      }
      const int n = ReceiveCiphertext();
      if (n == platform::kSocketError) return n;
      if (n == 0) {
        ended_ = true;
        return 0;
      }
      received = true;
    }
    plaintext_.clear();
    taken_ = 0;
    decrypt_due_ = false;
    try {
      ended_ = !session_->Decrypt(incoming_, plaintext_, outgoing_);
    } catch (const platform::TlsError& e) {
      RaiseTlsError(e);
    }
  }
  Flush();  // what the session answered goes out now or with the next transfer
  return 1;
}

int TTlsChannel::Receive(void* buffer, int length, bool peek) {
  if (taken_ == plaintext_.size()) {
    const int filled = Fill();
    if (filled <= 0) return filled;
  }
  const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(length), plaintext_.size() - taken_));
  std::memcpy(buffer, plaintext_.data() + taken_, static_cast<size_t>(n));
  if (!peek) taken_ += static_cast<size_t>(n);
  return n;
}

bool TTlsChannel::ReadyToRead() const { return taken_ < plaintext_.size() || decrypt_due_ || ended_; }

void TTlsChannel::Close(std::chrono::milliseconds limit) {
  try {
    session_->Close(outgoing_);
  } catch (const platform::TlsError&) {
    // A session that cannot say goodbye is closed all the same.
  }
  // Records still queued were counted as sent: the peer gets a bounded
  // chance to take them, as the system would send what a plain socket took.
  const auto end = std::chrono::steady_clock::now() + limit;
  while (Flush() == platform::kSocketError && platform::LastSocketError() == kWsaWouldBlock) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) return;
    platform::WaitForSocketOrMessage(socket_, platform::SocketWait::kWritable, static_cast<std::uint32_t>(left));
    // A waiting message ends every wait at once and is not dispatched here.
    platform::SleepMilliseconds(1);
  }
  // Records nobody asked for (TLS 1.3 session tickets) may still wait
  // unread; a socket closed with unread bytes resets the connection, and
  // the reset can cost the peer the last records it has not read yet. A few
  // tickets take a few hundred bytes: a peer that sends more than a little
  // after the goodbye gets the reset, within the same time at the latest.
  char unread[kReceiveChunk];
  for (size_t drained = 0; drained < kDrainLimit && std::chrono::steady_clock::now() < end;) {
    const int n = platform::ReceiveOnSocket(socket_, unread, sizeof unread, /*peek=*/false);
    if (n <= 0) break;
    drained += static_cast<size_t>(n);
  }
}
