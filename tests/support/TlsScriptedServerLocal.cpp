// TlsScriptedServer in the native build: the scripted server in-process.

#include "support/TlsScriptedServer.h"

#include "test_support/TempDir.h"

namespace testserver {
namespace {

const std::string& CertificateDir() {
  static const TempDir dir;
  static const std::string path = [] {
    MakeTestCertificates(dir.Path(""));
    return dir.Path("");
  }();
  return path;
}

}  // namespace

const std::string& TestCaFile() {
  static const std::string file = CertificateDir() + "/" + kTestCaFileName;
  return file;
}

class TlsScriptedServer::Impl {
 public:
  Impl(std::vector<Step> script, Certificate certificate, ServerOptions options)
      : server(std::move(script), WithCertificate(std::move(options), certificate)) {}

  static ServerOptions WithCertificate(ServerOptions options, Certificate certificate) {
    options.tls.certificateFile = CertificateDir() + "/" + CertificateFileName(certificate);
    options.tls.keyFile = CertificateDir() + "/" + kTestKeyFileName;
    return options;
  }

  ScriptedServer server;
};

TlsScriptedServer::TlsScriptedServer(std::vector<Step> script, Certificate certificate, ServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(script), certificate, std::move(options))) {}
TlsScriptedServer::~TlsScriptedServer() = default;
std::uint16_t TlsScriptedServer::Port() const { return impl_->server.Port(); }
void TlsScriptedServer::Join() { impl_->server.Join(); }
void TlsScriptedServer::Stop() { impl_->server.Stop(); }
std::string TlsScriptedServer::Received() const { return impl_->server.Received(); }
std::vector<std::string> TlsScriptedServer::Failures() const { return impl_->server.Failures(); }

}  // namespace testserver
