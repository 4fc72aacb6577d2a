#include "platform/Crypto.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <string>

namespace platform {
namespace {

std::string StatusText(const char* what, NTSTATUS status) {
  return std::string(what) + " failed: status " + std::to_string(static_cast<unsigned long>(status));
}

/// What a sealed secret is told by in DPAPI's records.
constexpr wchar_t kSealDescription[] = L"mailshot";

/// Frees a blob that DPAPI made, its bytes overwritten first.
void FreeBlob(DATA_BLOB& blob) {
  if (blob.pbData == nullptr) return;
  ::SecureZeroMemory(blob.pbData, blob.cbData);
  ::LocalFree(blob.pbData);
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

bool SealsSecretsAtRest() { return true; }

std::string SealForUser(std::string_view secret) {
  DATA_BLOB plain{static_cast<DWORD>(secret.size()), reinterpret_cast<BYTE*>(const_cast<char*>(secret.data()))};
  DATA_BLOB sealed{};
  if (!::CryptProtectData(&plain, kSealDescription, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &sealed)) {
    throw CryptoError("CryptProtectData failed: error " + std::to_string(::GetLastError()));
  }
  constexpr DWORD kBase64 = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  std::string text;
  if (::CryptBinaryToStringA(sealed.pbData, sealed.cbData, kBase64, nullptr, &length)) {
    text.resize(length);
    if (!::CryptBinaryToStringA(sealed.pbData, sealed.cbData, kBase64, text.data(), &length)) length = 0;
    text.resize(length);  // without the terminating NUL
  }
  FreeBlob(sealed);
  if (text.empty()) throw CryptoError("CryptBinaryToString failed: error " + std::to_string(::GetLastError()));
  return text;
}

std::optional<std::string> UnsealForUser(std::string_view text) {
  DWORD size = 0;
  const auto length = static_cast<DWORD>(text.size());
  if (!::CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
    return std::nullopt;
  }
  std::string bytes(size, '\0');
  if (!::CryptStringToBinaryA(text.data(), length, CRYPT_STRING_BASE64, reinterpret_cast<BYTE*>(bytes.data()), &size,
                              nullptr, nullptr)) {
    return std::nullopt;
  }
  DATA_BLOB sealed{size, reinterpret_cast<BYTE*>(bytes.data())};
  DATA_BLOB plain{};
  if (!::CryptUnprotectData(&sealed, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &plain)) {
    return std::nullopt;
  }
  std::string secret(reinterpret_cast<const char*>(plain.pbData), plain.cbData);
  FreeBlob(plain);
  return secret;
}

}  // namespace platform
