#pragma once
// Throw-away certificates for the TLS tests, made with OpenSSL (native
// build; the Windows build asks the native scripted_server to make them).

#include <string>

namespace testserver {

/// The certificates a TLS test server can present.
enum class Certificate {
  kTrusted,     // localhost, 127.0.0.1 and ::1, issued by the test CA
  kWrongName,   // other.mailshot.test, issued by the test CA
  kExpired,     // localhost, issued by the test CA, expired yesterday
  kSelfSigned,  // localhost, its own issuer
};

/// The file of certificate in a directory made by MakeTestCertificates.
inline std::string CertificateFileName(Certificate certificate) {
  switch (certificate) {
    case Certificate::kTrusted: return "trusted.pem";
    case Certificate::kWrongName: return "wrong-name.pem";
    case Certificate::kExpired: return "expired.pem";
    case Certificate::kSelfSigned: return "self-signed.pem";
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
