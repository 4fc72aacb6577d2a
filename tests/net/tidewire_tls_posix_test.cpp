// Where the OpenSSL build finds the system's trust anchors: the hashed
// folder first, the bundle file when the folder lacks an issuer.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "net/NetTestSupport.h"
#include "support/TlsScriptedServer.h"
#include "test_support/TempDir.h"

namespace {

using namespace testserver;

/// The name under which a hashed folder keeps the CA of file.
std::string HashedName(const std::string& file) {
  FILE* in = std::fopen(file.c_str(), "r");
  X509* ca = in != nullptr ? PEM_read_X509(in, nullptr, nullptr, nullptr) : nullptr;
  if (in != nullptr) std::fclose(in);
  char name[16];
  std::snprintf(name, sizeof name, "%08lx.0", ca != nullptr ? X509_subject_name_hash(ca) : 0UL);
  X509_free(ca);
  return name;
}

/// Sets an environment variable for the scope, restoring the earlier value.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (old_.empty()) unsetenv(name_);
    else setenv(name_, old_.c_str(), 1);
  }

 private:
  const char* name_;
  std::string old_;
};

TEST(TidewireTls, SystemAnchorsFromTheFolderOrTheBundle) {
  struct Case {
    const char* name;
    bool inFolder;
    bool inBundle;
    const char* error;  // empty: trusted
  };
  const Case cases[] = {
      {"folder", true, false, ""},
      {"bundle only", false, true, ""},
      {"neither", false, false, "The server's certificate is not trusted: unable to get local issuer certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::filesystem::create_directory(dir.Path("certs"));
    if (c.inFolder) std::filesystem::copy_file(TestCaFile(), dir.Path("certs/" + HashedName(TestCaFile())));
    const ScopedVariable folder("SSL_CERT_DIR", dir.Path("certs"));
    const ScopedVariable bundle("SSL_CERT_FILE", c.inBundle ? TestCaFile() : dir.Path("none.pem"));
    TlsScriptedServer server({StartTls(), Drain()}, Certificate::kTrusted);
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    std::string error;
    try {
      wire.StartTls({"localhost", "", false});
    } catch (const ESockError& e) {
      error = e.Message();
    }
    EXPECT_EQ(error, c.error);
    wire.Disconnect();
    server.Join();
  }
}

}  // namespace
