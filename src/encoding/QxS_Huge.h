#pragma once
// Pointer steps and block copies for the buffer stream, kept apart so that
// every address calculation of a buffer goes through one place.

#include <cstdint>

/// Returns the address n bytes after address (before it for a negative n).
/// Inline: the buffer stream steps its cursor on every line written.
inline void* HugeOffset(void* address, std::int64_t n) { return static_cast<char*>(address) + n; }
inline const void* HugeOffset(const void* address, std::int64_t n) { return static_cast<const char*>(address) + n; }

/// Copies n bytes from source to destination (destination first, like
/// memmove); overlapping ranges are copied correctly. n <= 0 copies nothing.
void HugeMove(void* destination, const void* source, std::int64_t n);
