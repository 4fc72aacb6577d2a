#pragma once
// The system's cryptographic randomness and SHA-256, for the proof key and
// the state of a sign-in (RFC 7636): BCrypt on Windows; getrandom and
// OpenSSL (loaded on first use) on POSIX.

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string_view>

namespace platform {

/// The system could not give what was asked; the text says why.
class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Fills size bytes at data with unpredictable bytes. Raises CryptoError.
void FillRandom(void* data, std::size_t size);

using Sha256Digest = std::array<unsigned char, 32>;
/// The SHA-256 digest of data. Raises CryptoError.
Sha256Digest Sha256(std::string_view data);

}  // namespace platform
