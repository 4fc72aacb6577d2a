#include "platform/Memory.h"

namespace platform {

// Windows hands out large pages only to processes holding the lock-memory
// privilege, and only for blocks allocated as such: ordinary pages it is.
void AdviseLargeBlock(void*, std::size_t) {}

}  // namespace platform
