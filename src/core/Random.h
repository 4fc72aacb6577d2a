#pragma once
// The process-wide pseudo-random generator: one 32-bit state word, 0 at
// process start and never reseeded. Used for the MIME boundary letters.

#include <cstdint>

/// Steps the state and returns a value from 0 to range - 1.
std::int32_t Random(std::int32_t range);
/// The state word itself (tests reset it to replay a fresh process).
std::uint32_t& RandSeed();
