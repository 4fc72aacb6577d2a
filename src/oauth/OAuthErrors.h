#pragma once
// The two ways an OAuth step fails, which the program tells apart by their
// exit codes: a setting that makes the sign-in impossible until the user
// changes it, and a failure that a later run may not meet.

#include "core/Exceptions.h"

namespace oauth {

/// The token file or its sign-in cannot work as it stands (a missing or
/// broken file, a refused grant or client); running again unchanged fails
/// again. The program gives it exit code 5.
class ESettingsError : public Exception {
 public:
  using Exception::Exception;
};

/// An exchange or sign-in that failed this time (no answer, a server
/// error, a declined or expired sign-in); exit code 4.
class EFailure : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace oauth
