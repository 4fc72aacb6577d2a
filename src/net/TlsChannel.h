#pragma once
// TTlsChannel: a TLS session over a connected socket, with the buffers that
// sit between the two, for TTidewire's transfer seam.

#include <chrono>
#include <memory>
#include <string>

#include "platform/Sockets.h"
#include "platform/Tls.h"

/// A TLS session running over one connected socket: ciphertext received but
/// not yet used, records not yet sent, plaintext not yet read. Owned by the
/// TTidewire that started TLS; it calls the socket without waiting (but for
/// Close) and never closes it. Socket failures come back as the socket calls give them
/// (platform::kSocketError, the error in the socket's last error; 10035 for
/// "nothing yet"); TLS failures are raised as ESockError.
class TTlsChannel {
 public:
  enum class Progress { kDone, kNeedRead, kNeedWrite, kSocketFailed };

  /// Raises ESockError when no session can be made (an unusable CA file).
  TTlsChannel(platform::SocketHandle socket, const platform::TlsSettings& settings);

  /// Advances the handshake as far as the socket allows now. Raises
  /// ESockError when the server closes, sends data before the handshake or
  /// answers with something else than TLS, or the handshake fails.
  Progress Handshake();
  /// The certificate check; raises ESockError naming the reason.
  void VerifyPeer();

  /// Encrypts all of data and counts it as sent once its records are
  /// queued; what the socket does not take now goes out before anything
  /// else. Returns length, or kSocketError when records still waiting from
  /// before cannot go out yet or the socket failed.
  int Send(const void* data, int length);
  /// Plaintext as a receive gives it: up to length bytes (left waiting with
  /// peek), 0 once the server has ended the session or closed, kSocketError
  /// when none has arrived yet or the socket failed. Takes at most one
  /// receive of records without plaintext per call, so that the caller's
  /// wait can end between them.
  int Receive(void* buffer, int length, bool peek);
  /// True when a receive would not find the socket's answer necessary:
  /// plaintext or undecrypted input waits, or the session has ended.
  bool ReadyToRead() const;
  /// True while records wait to be sent.
  bool OutputWaiting() const { return sent_ < outgoing_.size(); }
  /// Queues close_notify and waits up to limit for the socket to take it
  /// with every record still queued, then reads what the peer still sends
  /// (64 KiB at most, within the rest of that time): a peer that does not
  /// read loses records rather than hanging the close, nor does one that
  /// keeps sending.
  void Close(std::chrono::milliseconds limit);
  platform::TlsSessionInfo Info() const { return session_->Info(); }

 private:
  /// Sends what waits; 0 when all went out, else kSocketError.
  int Flush();
  /// One receive of ciphertext; its result.
  int ReceiveCiphertext();
  /// Raises when the server spoke before the client's first handshake bytes.
  void RefuseEarlyData();
  /// Decrypts until plaintext waits or the session ended; 1, 0 at the end,
  /// or kSocketError.
  int Fill();

  platform::SocketHandle socket_;
  std::unique_ptr<platform::TlsSession> session_;
  std::string incoming_;
  bool decrypt_due_ = false;  // input came since the last decrypt
  std::string outgoing_;
  size_t sent_ = 0;  // bytes of outgoing_ already sent
  std::string plaintext_;
  size_t taken_ = 0;  // bytes of plaintext_ already received
  bool started_ = false;
  bool handshake_done_ = false;
  bool heard_server_ = false;
  bool ended_ = false;
};
