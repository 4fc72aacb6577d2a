#include "platform/Crypto.h"

#include <string>

#include "platform/Tls.h"
#include "platform/posix/OpenSslLibrary.h"

namespace platform {

Sha256Digest Sha256(std::string_view data) {
  try {
    ossl::Load();
  } catch (const TlsError& e) {
    throw CryptoError(e.what());
  }
  Sha256Digest digest{};
  unsigned int length = 0;
  if (ossl::EVP_Digest(data.data(), data.size(), digest.data(), &length, ossl::EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    ossl::ERR_clear_error();
    throw CryptoError("SHA-256 failed");
  }
  return digest;
}

bool SealsSecretsAtRest() { return false; }

std::string SealForUser(std::string_view) { throw CryptoError("no sealing for the user on this system"); }

std::optional<std::string> UnsealForUser(std::string_view) { return std::nullopt; }

}  // namespace platform
