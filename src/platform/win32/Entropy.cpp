#include "platform/Entropy.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

namespace platform {

bool SecureRandomBytes(void* buffer, std::size_t size) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ULONG draw = static_cast<ULONG>(std::min<std::size_t>(size, 1 << 20));
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, at, draw, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    at += draw;
    size -= draw;
  }
  return true;
}

}  // namespace platform
