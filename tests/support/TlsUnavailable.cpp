// The Windows build of the test server has no OpenSSL: serving TLS and
// making the test certificates are the native build's (the Windows tests
// start the native scripted_server for both, see TlsScriptedServer).

#include <stdexcept>

#include "support/ServerTls.h"
#include "support/TestCertificates.h"

namespace testserver {

namespace {
constexpr const char* kNativeOnly = "TLS is served by the native scripted_server only";
}  // namespace

std::unique_ptr<ServerTls> AcceptTls(wire::Socket, const ServerTlsSettings&, std::function<bool()>,
                                     std::string& error) {
  error = kNativeOnly;
  return nullptr;
}

void MakeTestCertificates(const std::string&) { throw std::runtime_error(kNativeOnly); }

}  // namespace testserver
