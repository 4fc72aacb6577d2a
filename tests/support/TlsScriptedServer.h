#pragma once
// A scripted server whose StartTls steps present a test certificate, for the
// TLS tests of both builds: in-process in the native build; in the Windows
// build, whose tests run under Wine and cannot link OpenSSL, the native
// scripted_server started as a process (MAILSHOT_NATIVE_SCRIPTED_SERVER).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/ScriptedServer.h"
#include "support/TestCertificates.h"

namespace testserver {

/// The test CA's PEM file; the certificates are made once per test process.
const std::string& TestCaFile();

/// The server; it stops by itself at its deadline.
class TlsScriptedServer {
 public:
  /// options.tls is filled in from certificate (maxMinorVersion is kept).
  TlsScriptedServer(std::vector<Step> script, Certificate certificate, ServerOptions options = {});
  /// Stops whatever still runs.
  ~TlsScriptedServer();
  TlsScriptedServer(const TlsScriptedServer&) = delete;
  TlsScriptedServer& operator=(const TlsScriptedServer&) = delete;

  std::uint16_t Port() const;
  /// Waits until the script has ended for every connection (or the deadline).
  void Join();
  /// Ends the script at once, as ScriptedServer's does; Join then returns soon.
  void Stop();
  /// As ScriptedServer's: every byte received, inside TLS the plaintext.
  std::string Received() const;
  std::vector<std::string> Failures() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testserver
