#pragma once
// Window classes of the Win32 backend.

#include <windows.h>

namespace platform::win32 {

/// Registers className with procedure and windowExtraBytes unless the
/// module already has such a class; false when registration fails.
bool EnsureWindowClass(HINSTANCE instance, const char* className, WNDPROC procedure, int windowExtraBytes);

}  // namespace platform::win32
