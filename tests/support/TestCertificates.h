#pragma once
// Throw-away certificates for the TLS tests, made with OpenSSL (native
// build; the Windows build asks the native scripted_server to make them).

#include <string>

namespace testserver {

/// The certificates a TLS test server can present.
enum class Certificate {
  kTrusted,     // localhost and 127.0.0.1, issued by the test CA
  kWrongName,   // other.mailshot.test, issued by the test CA
  kExpired,     // localhost, issued by the test CA, expired yesterday
  kSelfSigned,  // localhost, its own issuer
  kCommonNameOnly,  // CN=localhost and no subjectAltName, issued by the test CA
  kAddressOnly,     // CN=localhost, subjectAltName 127.0.0.1 alone, issued by the test CA
  kDnsAddress,      // the DNS name "127.0.0.1" (no address entry), issued by the test CA
  kNulInName,       // the DNS name "localhost\0.other.mailshot.test", issued by the test CA
};

/// The file of certificate in a directory made by MakeTestCertificates.
inline std::string CertificateFileName(Certificate certificate) {
  switch (certificate) {
    case Certificate::kTrusted: return "trusted.pem";
    case Certificate::kWrongName: return "wrong-name.pem";
    case Certificate::kExpired: return "expired.pem";
    case Certificate::kSelfSigned: return "self-signed.pem";
    case Certificate::kCommonNameOnly: return "common-name-only.pem";
    case Certificate::kAddressOnly: return "address-only.pem";
    case Certificate::kDnsAddress: return "dns-address.pem";
    case Certificate::kNulInName: return "nul-in-name.pem";
  }
  return {};
}
/// The leaves' private key file in that directory.
inline constexpr const char* kTestKeyFileName = "key.pem";
/// The test CA's certificate file in that directory.
inline constexpr const char* kTestCaFileName = "ca.pem";

/// Makes a fresh CA and the certificates above in the existing directory
/// dir; the CA file is written last (by renaming), so its presence tells
/// that the rest is there. Raises std::runtime_error.
void MakeTestCertificates(const std::string& dir);

}  // namespace testserver
