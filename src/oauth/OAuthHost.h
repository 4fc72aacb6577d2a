#pragma once
// Where the OAuth steps meet the program around them: the HTTP client, the
// trace, the sign-in prompt, waits that keep the window served, and the
// clock. Abstract so that every step runs inside a unit test with a
// scripted endpoint and a clock of the test's own.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Http.h"

namespace oauth {

/// What a line of the trace tells.
enum class TOAuthTrace {
  kRequest,  // "POST <endpoint>"
  kAnswer,   // "HTTP <status>", with the error field of a refusal
  kNote,     // what a step did without an exchange
};

/// The program's side of the OAuth steps; owned by the caller of a step.
class TOAuthHost {
 public:
  virtual ~TOAuthHost() = default;

  /// Posts a form, as platform::PostForm does (the same contract).
  virtual int PostForm(const platform::HttpRequest& request, std::string& body) = 0;
  /// One line of the trace: an exchange's request ("POST <address>"), its
  /// answer ("HTTP 200", "HTTP 400 invalid_grant") or a note; never a secret.
  virtual void Trace(TOAuthTrace kind, const std::string& line) = 0;
  /// A secret a step has learned (a token, the client's secret, a code): no
  /// text the program shows or writes may hold it.
  virtual void Secret(std::string_view secret) = 0;
  /// Shows the user what to do to sign in, without waiting for them; it
  /// stands until ClosePrompt.
  virtual void Prompt(const std::string& text) = 0;
  virtual void ClosePrompt() = 0;
  /// Opens address in the browser where the system does that; the steps
  /// give it http and https addresses only.
  virtual void OpenBrowser(const std::string& address) = 0;
  /// Puts a device sign-in's code where the user can paste it, where the
  /// system has such a place (the clipboard on Windows).
  virtual void OfferCode(const std::string& code) = 0;
  /// Waits milliseconds (0: none), serving the window meanwhile.
  virtual void Pause(int milliseconds) = 0;
  /// The time now in Unix seconds.
  virtual std::int64_t Now() = 0;
};

/// How the exchanges of a step are made.
struct TExchangeSettings {
  std::string caFile;           // further trust anchors for the endpoints; empty: the system's store only
  int timeoutMilliseconds = 0;  // bound on each exchange and on the wait for the token file's lock; 0: none
};

}  // namespace oauth
