#pragma once
// SHA-256, for the proof key of a sign-in (RFC 7636): BCrypt on Windows,
// OpenSSL (loaded on first use) on POSIX. And secrets sealed for the user
// before they are kept in a file: DPAPI on Windows; on POSIX the file's
// mode protects them instead.

#include <array>
#include <optional>
#include <string>
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

/// True where SealForUser seals (Windows); false on POSIX.
bool SealsSecretsAtRest();
/// secret sealed for the user the process runs as, on this machine (DPAPI
/// CryptProtectData, user scope), as base64. Raises CryptoError; on POSIX
/// always.
std::string SealForUser(std::string_view secret);
/// The secret that SealForUser sealed, from its base64; nullopt when that
/// is broken or was sealed for another user or machine (always on POSIX).
std::optional<std::string> UnsealForUser(std::string_view sealed);

}  // namespace platform
