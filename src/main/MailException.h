#pragma once

#include "core/Exceptions.h"

/// A setting that makes the mail job impossible (a missing file, sender or
/// server, an unusable port, a value that would inject a line). Raised by the
/// job driver before any network work; the exception hook gives it exit code 5.
class EMailException : public Exception {
 public:
  using Exception::Exception;
};
