#include "platform/Crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <string>

namespace platform {
namespace {

std::string StatusText(const char* what, NTSTATUS status) {
  return std::string(what) + " failed: status " + std::to_string(static_cast<unsigned long>(status));
}

}  // namespace

Sha256Digest Sha256(std::string_view data) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (!BCRYPT_SUCCESS(status)) throw CryptoError(StatusText("BCryptOpenAlgorithmProvider", status));
  Sha256Digest digest{};
  BCRYPT_HASH_HANDLE hash = nullptr;
  status = ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
  if (BCRYPT_SUCCESS(status)) {
    status = ::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                              static_cast<ULONG>(data.size()), 0);
    if (BCRYPT_SUCCESS(status)) status = ::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    ::BCryptDestroyHash(hash);
  }
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!BCRYPT_SUCCESS(status)) throw CryptoError(StatusText("SHA-256", status));
  return digest;
}

}  // namespace platform
