#include "platform/Entropy.h"

#include <unistd.h>

#include <algorithm>

namespace platform {

namespace {
/// getentropy gives at most this many bytes a call.
constexpr std::size_t kLargestDraw = 256;
}  // namespace

bool SecureRandomBytes(void* buffer, std::size_t size) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const std::size_t draw = std::min(size, kLargestDraw);
    if (::getentropy(at, draw) != 0) return false;
    at += draw;
    size -= draw;
  }
  return true;
}

}  // namespace platform
