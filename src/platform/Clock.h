#pragma once
// The wall clock as people read it, for the lines of a run log.

#include <string>

namespace platform {

/// The local date and time now, to the millisecond: "2024-05-31 23:59:58.123".
std::string LocalTimestamp();

}  // namespace platform
