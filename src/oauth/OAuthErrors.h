#pragma once
// The two ways an OAuth step fails, which the program tells apart by their
// exit codes: a setting that makes the sign-in impossible until the user
// changes it, and a failure that a later run may not meet.

#include <initializer_list>
#include <string>
#include <string_view>

#include "core/Exceptions.h"

namespace oauth {

/// pattern with its placeholders ("%s") filled with values, in order.
inline std::string Filled(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string text(pattern);
  for (const std::string_view value : values) text = FillPlaceholder(text, value);
  return text;
}

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

/// An EFailure that may pass: an exchange without an answer (unreachable,
/// timed out), an endpoint that said it is busy (5xx, 408, 429,
/// server_error, temporarily_unavailable), a token file another run kept
/// locked too long. /RETRY runs the job again after it.
class EUnavailable final : public EFailure, public ETransient {
 public:
  using EFailure::EFailure;
};

}  // namespace oauth
