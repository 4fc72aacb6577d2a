#pragma once
// The application's central exception handler: where exceptions go that must
// not leave a window procedure or a message dispatch (a timer handler that
// raises, for example). The program installs its exception hook here.

#include <exception>
#include <functional>

using TExceptionHandler = std::function<void(const std::exception& e)>;

/// Installs handler (an empty one restores the default, which drops the exception).
void SetApplicationExceptionHandler(TExceptionHandler handler);
/// Hands e to the installed handler; never raises.
void HandleApplicationException(const std::exception& e);
