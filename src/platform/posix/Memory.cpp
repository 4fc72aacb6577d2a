#include "platform/Memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace platform {
namespace {
// Linux backs an aligned 2 MB stretch of an advised block with one huge page.
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
}  // namespace

void AdviseLargeBlock(void* address, std::size_t size) {
#ifdef MADV_HUGEPAGE
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (start + size) & ~(kHugePage - 1);
  if (last <= first) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a refusal leaves ordinary pages
#else
  (void)address;
  (void)size;
#endif
}

}  // namespace platform
