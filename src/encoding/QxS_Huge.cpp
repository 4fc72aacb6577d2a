#include "encoding/QxS_Huge.h"

#include <cstring>

void* HugeOffset(void* address, std::int64_t n) { return static_cast<char*>(address) + n; }

const void* HugeOffset(const void* address, std::int64_t n) { return static_cast<const char*>(address) + n; }

void HugeMove(void* destination, const void* source, std::int64_t n) {
  if (n > 0) std::memmove(destination, source, static_cast<std::size_t>(n));
}
