#pragma once
// Unpredictable bytes from the system's cryptographic random generator, for
// values that must be unique across machines and runs (message identifiers).

#include <cstddef>

namespace platform {

/// Fills buffer with size bytes from the system's cryptographically secure
/// generator (getentropy on POSIX, BCryptGenRandom on Windows). False when
/// the system could not give them; the buffer is then not to be used.
bool SecureRandomBytes(void* buffer, std::size_t size);

}  // namespace platform
