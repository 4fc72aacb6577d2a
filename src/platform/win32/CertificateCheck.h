#pragma once
// The program's own check of a server's certificate, for the TLS sessions
// and the HTTP client alike: the chain against the Windows store and the CA
// file's anchors, then the host. Done by hand because the system's checks
// cannot be relied on under Wine (Schannel's checks nothing; the SSL chain
// policy passes a chain that ends in an unknown issuer and compares no IP
// addresses).

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

namespace platform::win32 {

struct StoreClose {
  void operator()(void* store) const { ::CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;
struct CertFree {
  void operator()(const CERT_CONTEXT* cert) const { ::CertFreeCertificateContext(cert); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFree>;

/// A memory store with every certificate of a PEM file. Raises TlsError
/// when the file cannot be read or holds none.
Store ReadPemCertificates(const std::string& path);

/// Checks the server's certificate leaf: its chain, built with the
/// certificates the server sent (leaf's own store) and those of anchors,
/// against the system's store, where a certificate of anchors (null: none)
/// also counts as trusted; then host (a name against the DNS names of its
/// subjectAltName, never its common name; an IPv4 or IPv6 literal against
/// the IP entries of its own family). Raises TlsError (kTlsNotTrusted and the reason, or
/// NameMismatchText's).
void CheckServerCertificate(const CERT_CONTEXT* leaf, void* anchors, const std::string& host);

}  // namespace platform::win32
