#pragma once
// Between the Win32 window and lookup halves of the backend.

#include "platform/Messages.h"

namespace platform::win32 {

/// Drops the lookups that were to end at window: it is being destroyed, and
/// its owner's buffer goes with it.
void ForgetLookupsFor(WindowHandle window);

}  // namespace platform::win32
