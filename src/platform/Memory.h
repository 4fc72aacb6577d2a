#pragma once
// Hints about large blocks of memory.

#include <cstddef>

namespace platform {

/// Asks the system to back the block [address, address + size) with large
/// pages where it can, so that filling it costs fewer page faults. A hint:
/// the system may ignore it, and nothing else about the block changes.
/// Small blocks are left alone.
void AdviseLargeBlock(void* address, std::size_t size);

}  // namespace platform
