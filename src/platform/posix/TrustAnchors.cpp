#include "platform/posix/TrustAnchors.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/Tls.h"

namespace platform::ossl {
namespace {

struct BioFree {
  void operator()(BIO* bio) const { ossl::BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* cert) const { ossl::X509_free(cert); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

/// Every certificate of a PEM file; empty when there is none. Raises
/// TlsError when the file cannot be opened.
std::vector<X509Ptr> ReadPemCertificates(const std::string& path) {
  const std::unique_ptr<BIO, BioFree> file(ossl::BIO_new_file(path.c_str(), "r"));
  if (!file) {
    ossl::ERR_clear_error();
    throw TlsError(std::string(kTlsCaFileUnreadable) + path);
  }
  std::vector<X509Ptr> certificates;
  while (X509* cert = ossl::PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) certificates.emplace_back(cert);
  ossl::ERR_clear_error();  // the read that found no further certificate
  return certificates;
}

}  // namespace

const char* SystemStorePath(SystemStore part) {
  const bool folder = part == SystemStore::kFolder;
  const char* set =
      std::getenv(folder ? ossl::X509_get_default_cert_dir_env() : ossl::X509_get_default_cert_file_env());
  if (set != nullptr) return set;
  return folder ? ossl::X509_get_default_cert_dir() : ossl::X509_get_default_cert_file();
}

bool HoldsPemCertificate(const std::string& path) { return !ReadPemCertificates(path).empty(); }

void AddTrustAnchors(X509_STORE* store, const std::string& caFile) {
  const std::vector<X509Ptr> anchors = ReadPemCertificates(caFile);
  if (anchors.empty()) throw TlsError(std::string(kTlsCaFileEmpty) + caFile);
  for (const X509Ptr& anchor : anchors) ossl::X509_STORE_add_cert(store, anchor.get());
  // Any certificate of the file is an anchor, a company's intermediate too.
  ossl::X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
  ossl::ERR_clear_error();  // a certificate already in the store is no failure
}

}  // namespace platform::ossl
