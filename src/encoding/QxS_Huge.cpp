#include "encoding/QxS_Huge.h"

#include <cstring>

void HugeMove(void* destination, const void* source, std::int64_t n) {
  if (n > 0) std::memmove(destination, source, static_cast<std::size_t>(n));
}
