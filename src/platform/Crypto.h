#pragma once
// SHA-256, for the proof key of a sign-in (RFC 7636): BCrypt on Windows,
// OpenSSL (loaded on first use) on POSIX.

#include <array>
#include <stdexcept>
#include <string_view>

namespace platform {

/// The system could not give the digest; the text says why.
class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Sha256Digest = std::array<unsigned char, 32>;
/// The SHA-256 digest of data. Raises CryptoError.
Sha256Digest Sha256(std::string_view data);

}  // namespace platform
