#pragma once
// Words for Schannel's status codes and the certificate chain's error bits:
// Windows has message texts for few of them, Wine for none.

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::win32 {

/// "<text> (<NAME>, 0x<code>)" for a SEC_E_/SEC_I_/CERT_E_ code; "error
/// 0x<code>" for a code without a row.
std::string SecurityStatusText(std::int32_t status);
/// The reason after "not trusted: " for the most telling error bit of a
/// chain (CERT_TRUST_IS_...), worded as OpenSSL words it where it has words.
/// The untrusted root, whose text depends on the chain's length, and the
/// time validity, which depends on the date, are the caller's.
std::string ChainErrorText(std::uint32_t errorBits);
/// The IANA name of the cipher suite numbered suite (TLS_..._WITH_..._SHA384),
/// as OpenSSL's standard names give it on Linux. A number without a row
/// takes the name Schannel gave, reported; where that lacks its hash (Wine
/// names it "<unknown>"), an AEAD suite gets the hash its cipher implies and
/// any other says that the hash is not known.
std::string CipherSuiteName(std::uint32_t suite, std::string_view reported);

}  // namespace platform::win32
