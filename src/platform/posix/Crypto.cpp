#include "platform/Crypto.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Tls.h"
#include "platform/posix/OpenSslLibrary.h"

namespace platform {

void FillRandom(void* data, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::getrandom(bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw CryptoError(std::string("no random bytes: ") + std::strerror(errno));
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

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

}  // namespace platform
