#include "platform/win32/SchannelTexts.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

namespace platform::win32 {
namespace {

struct StatusRow {
  std::int32_t code;
  const char* name;
  const char* text;
};

constexpr StatusRow kStatusRows[] = {
    {SEC_E_INSUFFICIENT_MEMORY, "SEC_E_INSUFFICIENT_MEMORY", "not enough memory"},
    {SEC_E_INVALID_HANDLE, "SEC_E_INVALID_HANDLE", "the handle is not valid"},
    {SEC_E_UNSUPPORTED_FUNCTION, "SEC_E_UNSUPPORTED_FUNCTION",
     "the function requested is not supported (often: no TLS version in common)"},
    {SEC_E_TARGET_UNKNOWN, "SEC_E_TARGET_UNKNOWN", "the specified target is unknown or unreachable"},
    {SEC_E_INTERNAL_ERROR, "SEC_E_INTERNAL_ERROR", "the security package failed inside"},
    {SEC_E_SECPKG_NOT_FOUND, "SEC_E_SECPKG_NOT_FOUND", "the security package was not found"},
    {SEC_E_INVALID_TOKEN, "SEC_E_INVALID_TOKEN", "the token given to the security package is not valid"},
    {SEC_E_MESSAGE_ALTERED, "SEC_E_MESSAGE_ALTERED", "the message was altered"},
    {SEC_E_NO_CREDENTIALS, "SEC_E_NO_CREDENTIALS", "no credentials are available"},
    {SEC_E_NO_AUTHENTICATING_AUTHORITY, "SEC_E_NO_AUTHENTICATING_AUTHORITY",
     "no authority could be contacted (the settings asked for are refused)"},
    {SEC_E_INCOMPLETE_MESSAGE, "SEC_E_INCOMPLETE_MESSAGE", "the message is incomplete"},
    {SEC_E_CONTEXT_EXPIRED, "SEC_E_CONTEXT_EXPIRED", "the session has ended"},
    {SEC_E_WRONG_PRINCIPAL, "SEC_E_WRONG_PRINCIPAL", "the target name is not the certificate's"},
    {SEC_E_UNTRUSTED_ROOT, "SEC_E_UNTRUSTED_ROOT", "the certificate chain ends in an untrusted root"},
    {SEC_E_CERT_EXPIRED, "SEC_E_CERT_EXPIRED", "the certificate has expired"},
    {SEC_E_ILLEGAL_MESSAGE, "SEC_E_ILLEGAL_MESSAGE", "the message received was unexpected or badly formatted"},
    {SEC_E_CERT_UNKNOWN, "SEC_E_CERT_UNKNOWN", "the certificate could not be processed"},
    {SEC_E_ENCRYPT_FAILURE, "SEC_E_ENCRYPT_FAILURE", "the data could not be encrypted"},
    {SEC_E_DECRYPT_FAILURE, "SEC_E_DECRYPT_FAILURE", "the data could not be decrypted"},
    {SEC_E_ALGORITHM_MISMATCH, "SEC_E_ALGORITHM_MISMATCH", "client and server have no algorithm in common"},
    {SEC_E_BUFFER_TOO_SMALL, "SEC_E_BUFFER_TOO_SMALL", "a buffer was too small"},
    {SEC_E_INVALID_PARAMETER, "SEC_E_INVALID_PARAMETER", "a parameter is not valid"},
    {SEC_I_CONTINUE_NEEDED, "SEC_I_CONTINUE_NEEDED", "the handshake needs another round"},
    {SEC_I_INCOMPLETE_CREDENTIALS, "SEC_I_INCOMPLETE_CREDENTIALS", "the server asked for a client certificate"},
    {SEC_I_RENEGOTIATE, "SEC_I_RENEGOTIATE", "the server asked to renegotiate"},
    {SEC_I_CONTEXT_EXPIRED, "SEC_I_CONTEXT_EXPIRED", "the server ended the session"},
    {CERT_E_EXPIRED, "CERT_E_EXPIRED", "the certificate has expired or is not yet valid"},
    {CERT_E_UNTRUSTEDROOT, "CERT_E_UNTRUSTEDROOT", "the certificate chain ends in an untrusted root"},
    {CERT_E_CHAINING, "CERT_E_CHAINING", "the certificate chain could not be built"},
    {CERT_E_WRONG_USAGE, "CERT_E_WRONG_USAGE", "the certificate is not for this use"},
    {CERT_E_CN_NO_MATCH, "CERT_E_CN_NO_MATCH", "the certificate's name does not match"},
    {CRYPT_E_REVOKED, "CRYPT_E_REVOKED", "the certificate was revoked"},
};

struct ChainRow {
  std::uint32_t bit;
  const char* text;
};

// In the order OpenSSL finds such faults: building the chain first.
constexpr ChainRow kChainRows[] = {
    {CERT_TRUST_IS_PARTIAL_CHAIN, "unable to get local issuer certificate"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "certificate signature failure"},
    {CERT_TRUST_IS_CYCLIC, "certificate chain is cyclic"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "invalid CA certificate"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "unsupported certificate purpose"},
    {CERT_TRUST_IS_REVOKED, "certificate revoked"},
    {CERT_TRUST_INVALID_EXTENSION, "unsupported certificate extension"},
    {CERT_TRUST_INVALID_NAME_CONSTRAINTS, "name constraints violation"},
    {CERT_TRUST_INVALID_POLICY_CONSTRAINTS, "invalid certificate policy"},
};

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

struct SuiteRow {
  std::uint16_t number;
  const char* name;
};

// The suites Schannel offers (TLS 1.3, then 1.2), by their IANA numbers.
constexpr SuiteRow kSuiteRows[] = {
    {0x1301, "TLS_AES_128_GCM_SHA256"},
    {0x1302, "TLS_AES_256_GCM_SHA384"},
    {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
    {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
    {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
    {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0xCCA8, "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xCCA9, "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256"},
    {0xC023, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256"},
    {0xC024, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384"},
    {0xC027, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256"},
    {0xC028, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384"},
    {0xC009, "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA"},
    {0xC00A, "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA"},
    {0xC013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
    {0xC014, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA"},
    {0x009E, "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009F, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"},
    {0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
    {0x009D, "TLS_RSA_WITH_AES_256_GCM_SHA384"},
    {0x003C, "TLS_RSA_WITH_AES_128_CBC_SHA256"},
    {0x003D, "TLS_RSA_WITH_AES_256_CBC_SHA256"},
    {0x002F, "TLS_RSA_WITH_AES_128_CBC_SHA"},
    {0x0035, "TLS_RSA_WITH_AES_256_CBC_SHA"},
};

// An AEAD cipher fixes the hash of its suite's name (the PRF's).
struct AeadRow {
  std::string_view cipher;
  std::string_view hash;
};
constexpr AeadRow kAeadRows[] = {
    {"_AES_128_GCM", "_SHA256"},
    {"_AES_256_GCM", "_SHA384"},
    {"_CHACHA20_POLY1305", "_SHA256"},
};
constexpr std::string_view kUnknownPart = "_<unknown>";
constexpr std::string_view kHashNotKnown = " (hash not known)";

}  // namespace

std::string SecurityStatusText(std::int32_t status) {
  for (const StatusRow& row : kStatusRows) {
    if (row.code == status) return std::string(row.text) + " (" + row.name + ", " + Hex(status) + ")";
  }
  return "error " + Hex(static_cast<std::uint32_t>(status));
}

std::string ChainErrorText(std::uint32_t errorBits) {
  for (const ChainRow& row : kChainRows) {
    if ((errorBits & row.bit) != 0) return row.text;
  }
  return "certificate chain error " + Hex(errorBits);
}

std::string CipherSuiteName(std::uint32_t suite, std::string_view reported) {
  for (const SuiteRow& row : kSuiteRows) {
    if (row.number == suite) return row.name;
  }
  if (!reported.ends_with(kUnknownPart)) return std::string(reported);
  const std::string_view known = reported.substr(0, reported.size() - kUnknownPart.size());
  for (const AeadRow& row : kAeadRows) {
    if (known.ends_with(row.cipher)) return std::string(known) + std::string(row.hash);
  }
  return std::string(known) + std::string(kHashNotKnown);
}

}  // namespace platform::win32
