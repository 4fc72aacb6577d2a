#pragma once
// The OAuth side of a run: the switches /OAUTHSETUP and /OAUTH, the one
// sign-in of the first and the tokens of the second, with the program as
// the host of the OAuth steps.

#include <memory>
#include <string>

#include "cmdline/CmdLineParser.h"
#include "core/Secrets.h"
#include "main/FormSurface.h"
#include "main/RunLog.h"
#include "oauth/OAuthHost.h"
#include "oauth/TokenSource.h"
#include "smtp/Authentication.h"

/// What the OAuth steps get from the program: exchanges through the
/// platform's HTTP client, their trace in the run log and (from report
/// level 1) the status texts, the sign-in's prompt in a box that does not
/// wait (the console on POSIX) and in the run log, waits that serve the
/// window, and the secrets they learn added to the run's list. Where nobody
/// can see a box (TFormSurface::Attended) the prompt goes to the console,
/// when there is one, and the run log, and no browser is opened and nothing
/// put on the clipboard. Owned by
/// the status window, which outlives every step.
class TOAuthRun final : public oauth::TOAuthHost {
 public:
  TOAuthRun(TFormSurface& surface, TRunLog& log, TSecretList& secrets, const std::int32_t& reportLevel);
  ~TOAuthRun() override;

  /// True when the command line holds /OAUTHSETUP (by whole name).
  static bool SignInAsked(const TCmdLineParser& cmd);
  /// Reads /OAUTHSETUP with /CAFILE and the exchanges' time bound
  /// (milliseconds, 0: none), and checks its token file. Raises
  /// EMailException for no value, /OAUTH besides, /INSECURE (a token
  /// endpoint's certificate is always checked), no /LOG where nobody can
  /// see a box, an unusable CA file; the token file's ESettingsError.
  void ReadSignIn(const TCmdLineParser& cmd, int timeoutMilliseconds);
  /// Signs in (see TSignIn::Run) and returns the text that tells of it.
  std::string SignIn();

  /// Reads /OAUTH for a login with /LOGIN and checks its token file; the
  /// exchanges take caFile and the time bound. Returns false without
  /// /OAUTH, which then must not stand without /LOGIN. With it, mechanism
  /// becomes amTokenAutomatic, or stays XOAUTH2 or OAUTHBEARER as /MECH
  /// named it. Raises EMailException for /OAUTH without /LOGIN, with /PW or
  /// /PWF, without a value, with /MECH of a password mechanism; the token
  /// file's ESettingsError.
  bool ReadTokenSwitch(const TCmdLineParser& cmd, bool login, TAuthMechanism& mechanism, const std::string& caFile,
                       int timeoutMilliseconds);
  /// The access token of the send (TTokenSource::AccessToken).
  std::string AccessToken();
  /// A token to log in with once more after the server refused the token
  /// refused: none when that one came fresh from the endpoint (another would
  /// fare no better), else TTokenSource::FreshAccessToken's.
  std::string TokenAfterRefusal(const std::string& refused);

  // oauth::TOAuthHost
  int PostForm(const platform::HttpRequest& request, std::string& body) override;
  void Trace(oauth::TOAuthTrace kind, const std::string& line) override;
  void Secret(std::string_view secret) override;
  void Prompt(const std::string& text) override;
  void ClosePrompt() override;
  void OpenBrowser(const std::string& address) override;
  void OfferCode(const std::string& code) override;
  void Pause(int milliseconds) override;
  std::int64_t Now() override;

 private:
  TFormSurface& surface_;
  TRunLog& log_;
  TSecretList& secrets_;
  const std::int32_t& reportLevel_;
  std::string signInFile_;
  oauth::TExchangeSettings signInSettings_;
  std::unique_ptr<oauth::TTokenSource> tokens_;
};
