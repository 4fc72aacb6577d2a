#include "core/Random.h"

namespace {
std::uint32_t g_seed = 0;
}

std::uint32_t& RandSeed() { return g_seed; }

std::int32_t Random(std::int32_t range) {
  g_seed = g_seed * 134775813u + 1u;
  return static_cast<std::int32_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(range)) * g_seed) >> 32);
}
