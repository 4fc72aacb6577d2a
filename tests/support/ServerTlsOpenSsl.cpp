// The scripted server's TLS side through OpenSSL, on a non-blocking socket
// whose waits look at the server's stop flag and deadline.

#include <fcntl.h>

#include <csignal>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "support/ServerTls.h"

namespace testserver {
namespace {

constexpr int kSliceMilliseconds = 20;

std::string ErrorText() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    if (text.empty()) {
      const char* reason = ERR_reason_error_string(code);
      text = reason != nullptr ? reason : "error " + std::to_string(code);
    }
  }
  return text.empty() ? "connection ended" : text;
}

class OpenSslServerTls final : public ServerTls {
 public:
  OpenSslServerTls(wire::Socket socket, std::function<bool()> keepWaiting)
      : socket_(socket), keep_waiting_(std::move(keepWaiting)) {}
  ~OpenSslServerTls() override {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }

  bool Start(const ServerTlsSettings& settings, std::string& error) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr || SSL_CTX_use_certificate_chain_file(ctx_, settings.certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      error = "certificate or key not usable: " + ErrorText();
      return false;
    }
    if (settings.maxMinorVersion > 0) {
      SSL_CTX_set_max_proto_version(ctx_, TLS1_VERSION + settings.maxMinorVersion);
      // Versions below 1.2 need the weaker digests of security level 0.
      if (settings.maxMinorVersion < 2) SSL_CTX_set_security_level(ctx_, 0);
    }
    ssl_ = SSL_new(ctx_);
    ::fcntl(socket_, F_SETFL, ::fcntl(socket_, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(ssl_, socket_);
    for (;;) {
      ERR_clear_error();
      const int result = SSL_accept(ssl_);
      if (result == 1) return true;
      if (!WaitAfter(result)) {
        error = keep_waiting_() ? ErrorText() : "not finished before stop or deadline";
        return false;
      }
    }
  }

  bool Send(const char* data, int length) override {
    while (length > 0) {
      ERR_clear_error();
      const int n = SSL_write(ssl_, data, length);
      if (n > 0) {
        data += n;
        length -= n;
      } else if (!WaitAfter(n)) {
        return false;
      }
    }
    return true;
  }

  int Receive(char* buffer, int length, std::chrono::steady_clock::time_point until) override {
    for (;;) {
      ERR_clear_error();
      const int n = SSL_read(ssl_, buffer, length);
      if (n > 0) return n;
      if (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN) {
        closed_with_notify_ = true;
        return 0;
      }
      if (!WaitAfter(n, until)) return keep_waiting_() && std::chrono::steady_clock::now() < until ? 0 : -1;
    }
  }

  bool ClosedWithNotify() const override { return closed_with_notify_; }

  void Shutdown() override {
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }

  bool Renegotiate() override {
    ERR_clear_error();
    return SSL_renegotiate(ssl_) == 1 && SSL_do_handshake(ssl_) == 1;
  }

  bool SendsTickets() const override { return SSL_version(ssl_) == TLS1_3_VERSION; }

  bool SendTicket() override {
    ERR_clear_error();
    if (SSL_new_session_ticket(ssl_) != 1) return false;
    // The ticket asked for goes out with the next handshake call.
    for (;;) {
      const int result = SSL_do_handshake(ssl_);
      if (result == 1) return true;
      if (!WaitAfter(result)) return false;
    }
  }

 private:
  /// After a call that returned result: waits while OpenSSL wants the
  /// socket; false for a failure or when waiting should end.
  bool WaitAfter(int result,
                 std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max()) {
    const int error = SSL_get_error(ssl_, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
    while (keep_waiting_() && std::chrono::steady_clock::now() < until) {
      if (error == SSL_ERROR_WANT_READ ? wire::WaitReadable(socket_, kSliceMilliseconds)
                                       : wire::WaitWritable(socket_, kSliceMilliseconds))
        return true;
    }
    return false;
  }

  wire::Socket socket_;
  std::function<bool()> keep_waiting_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool closed_with_notify_ = false;
};

}  // namespace

std::unique_ptr<ServerTls> AcceptTls(wire::Socket socket, const ServerTlsSettings& settings,
                                     std::function<bool()> keepWaiting, std::string& error) {
  // OpenSSL writes to the socket with write(): a client that left would
  // raise SIGPIPE and end the whole test process.
  static const auto ignored = std::signal(SIGPIPE, SIG_IGN);
  static_cast<void>(ignored);
  auto tls = std::make_unique<OpenSslServerTls>(socket, std::move(keepWaiting));
  if (!tls->Start(settings, error)) return nullptr;
  return tls;
}

}  // namespace testserver
