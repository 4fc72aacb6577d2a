#pragma once
// Pointer steps and block copies for the buffer stream, kept apart so that
// every address calculation of a buffer goes through one place.

#include <cstdint>

/// Returns the address n bytes after address.
void* HugeOffset(void* address, std::int64_t n);
const void* HugeOffset(const void* address, std::int64_t n);

/// Copies n bytes from source to destination (destination first, like
/// memmove); overlapping ranges are copied correctly. n <= 0 copies nothing.
void HugeMove(void* destination, const void* source, std::int64_t n);
