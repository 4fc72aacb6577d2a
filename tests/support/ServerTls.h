#pragma once
// The server side of TLS for the scripted test server: OpenSSL in the native
// build; the Windows build's tests reach the native server instead.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "support/WireShim.h"

namespace testserver {

/// What a server presents in its TLS handshakes.
struct ServerTlsSettings {
  std::string certificateFile;  // PEM: the server's certificate
  std::string keyFile;          // PEM: its private key
  int maxMinorVersion = 0;      // highest TLS 1.x offered (2: no TLS 1.3, for renegotiation); 0: any
};

/// One server-side TLS session over an accepted socket; owned by the
/// scripted server's session, it never closes the socket. Every wait ends
/// when keepWaiting turns false.
class ServerTls {
 public:
  virtual ~ServerTls() = default;
  /// True when all of data went out.
  virtual bool Send(const char* data, int length) = 0;
  /// Plaintext received (> 0), 0 when the client ended the session or the
  /// connection (or broke it), -1 when keepWaiting turned false or until passed.
  virtual int Receive(char* buffer, int length,
                      std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max()) = 0;
  /// True once the client ended the session with close_notify.
  virtual bool ClosedWithNotify() const = 0;
  /// Sends close_notify.
  virtual void Shutdown() = 0;
  /// Asks the client to renegotiate (a TLS 1.2 HelloRequest); false when it cannot be sent.
  virtual bool Renegotiate() = 0;
  /// True when the session can send session tickets after its handshake (TLS 1.3).
  virtual bool SendsTickets() const = 0;
  /// Sends one more session ticket; false when it cannot go out (the client left).
  virtual bool SendTicket() = 0;
};

/// Runs the server's handshake on socket. nullptr with error set when it fails.
std::unique_ptr<ServerTls> AcceptTls(wire::Socket socket, const ServerTlsSettings& settings,
                                     std::function<bool()> keepWaiting, std::string& error);

}  // namespace testserver
