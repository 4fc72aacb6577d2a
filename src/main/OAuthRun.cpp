#include "main/OAuthRun.h"

#include <algorithm>
#include <chrono>

#include "main/ExternalPassword.h"
#include "main/MailException.h"
#include "oauth/SignIn.h"
#include "platform/Gui.h"
#include "platform/Text.h"
#include "platform/Tls.h"

namespace {

constexpr std::string_view kSetupWithToken =
    "The switches /OAUTHSETUP and /OAUTH do not go together: sign in with the first, then send with the second.";
constexpr std::string_view kSetupUnseen =
    "The switch /OAUTHSETUP runs here where nobody can see its box: add /LOG, where the sign-in's address and "
    "code are written (and the console, when there is one).";
constexpr std::string_view kSetupInsecure =
    "The switch /INSECURE does not apply to a token endpoint, whose certificate is always checked; name its CA "
    "with /CAFILE.";
constexpr std::string_view kTokenNeedsLogin =
    "The switch /OAUTH needs /LOGIN with the user name that the token is for.";
constexpr std::string_view kTokenWithPassword =
    "The switch /OAUTH takes the access token from its token file: leave out /PW, /PWF, /PWCRED and /PWCMD.";
/// The mechanism /MECH named.
constexpr std::string_view kTokenMechanism =
    "With /OAUTH the value of switch /MECH must be XOAUTH2 or OAUTHBEARER, not %s.";
/// The switch.
constexpr std::string_view kNeedsFile = "The switch /%s needs the name of a token file.";
/// The token file.
constexpr std::string_view kTokenRefused =
    "OAuth: the SMTP server refused the access token kept in %s; a fresh one is fetched";
constexpr std::string_view kLogSent = "> ";
constexpr std::string_view kLogReceived = "< ";
constexpr std::string_view kLogPrompt = "sign-in: ";
/// Report level from which the exchanges show as status texts.
constexpr std::int32_t kTraceLevel = 1;

/// The token file that switch name names; raises EMailException when it names none.
std::string FileOf(const TCmdLineParser& cmd, const char* name) {
  // Without a value the parser gives the switch's own name.
  const std::string value = cmd.GetParamValue(name);
  if (value.empty() || value == name) throw EMailException(FillPlaceholder(kNeedsFile, name));
  return value;
}

}  // namespace

TOAuthRun::TOAuthRun(TFormSurface& surface, TRunLog& log, TSecretList& secrets, const std::int32_t& reportLevel)
    : surface_(surface), log_(log), secrets_(secrets), reportLevel_(reportLevel) {}

TOAuthRun::~TOAuthRun() = default;

bool TOAuthRun::SignInAsked(const TCmdLineParser& cmd) { return cmd.ParamExistsExactly("OAUTHSETUP"); }

void TOAuthRun::ReadSignIn(const TCmdLineParser& cmd, int timeoutMilliseconds) {
  signInFile_ = FileOf(cmd, "OAUTHSETUP");
  if (cmd.ParamExistsExactly("OAUTH")) throw EMailException(std::string(kSetupWithToken));
  if (cmd.ParamExistsExactly("INSECURE")) throw EMailException(std::string(kSetupInsecure));
  // Only the run log can tell the address and code there; without it the
  // sign-in would wait unseen until the code runs out.
  if (!surface_.Attended() && !cmd.ParamExistsExactly("LOG")) throw EMailException(std::string(kSetupUnseen));
  signInSettings_.timeoutMilliseconds = timeoutMilliseconds;
  if (cmd.ParamExistsExactly("CAFILE")) {
    signInSettings_.caFile = cmd.GetParamValue("CAFILE");
    const std::string problem = platform::CaFileProblem(signInSettings_.caFile);
    if (!problem.empty()) throw EMailException(problem);
  }
  oauth::TSignIn(signInFile_, *this, signInSettings_).Check();
}

std::string TOAuthRun::SignIn() { return oauth::TSignIn(signInFile_, *this, signInSettings_).Run(); }

bool TOAuthRun::ReadTokenSwitch(const TCmdLineParser& cmd, bool login, TAuthMechanism& mechanism,
                                const std::string& caFile, int timeoutMilliseconds) {
  if (!cmd.ParamExistsExactly("OAUTH")) return false;
  if (!login) throw EMailException(std::string(kTokenNeedsLogin));
  if (cmd.ParamExistsExactly("PW") || cmd.ParamExistsExactly("PWF") || ExternalPasswordAsked(cmd)) {
    throw EMailException(std::string(kTokenWithPassword));
  }
  if (mechanism == amAutomatic) {
    mechanism = amTokenAutomatic;
  } else if (!SendsToken(mechanism)) {
    throw EMailException(FillPlaceholder(kTokenMechanism, AuthMechanismName(mechanism)));
  }
  tokens_ = std::make_unique<oauth::TTokenSource>(FileOf(cmd, "OAUTH"), *this,
                                                  oauth::TExchangeSettings{caFile, timeoutMilliseconds});
  tokens_->Check();
  return true;
}

std::string TOAuthRun::AccessToken() { return tokens_->AccessToken(); }

std::string TOAuthRun::TokenAfterRefusal(const std::string& refused) {
  if (tokens_->LastWasFresh()) return {};
  Trace(oauth::TOAuthTrace::kNote, FillPlaceholder(kTokenRefused, tokens_->Path()));
  return tokens_->FreshAccessToken(refused);
}

int TOAuthRun::PostForm(const platform::HttpRequest& request, std::string& body) {
  return platform::PostForm(request, body);
}

void TOAuthRun::Trace(oauth::TOAuthTrace kind, const std::string& line) {
  const std::string_view mark = kind == oauth::TOAuthTrace::kRequest  ? kLogSent
                                : kind == oauth::TOAuthTrace::kAnswer ? kLogReceived
                                                                      : std::string_view();
  log_.Write(std::string(mark) + line);
  if (reportLevel_ >= kTraceLevel) {
    surface_.SetStatusText(secrets_.Redacted(line));
    surface_.ProcessMessages();
  }
}

void TOAuthRun::Secret(std::string_view secret) { secrets_.Add(secret); }

void TOAuthRun::Prompt(const std::string& text) {
  log_.Write(std::string(kLogPrompt) + text);
  const std::string shown = secrets_.Redacted(text);
  // A box nobody can see would tell nobody: the console, when there is one,
  // and the run log (which ReadSignIn required) carry it there.
  if (surface_.Attended()) {
    surface_.ShowPrompt(shown);
  } else {
    surface_.ShowNotice(shown);
  }
}

void TOAuthRun::ClosePrompt() { surface_.ClosePrompt(); }

void TOAuthRun::OpenBrowser(const std::string& address) {
  // A browser opened where nobody sees it would hold the sign-in page unseen.
  if (surface_.Attended()) platform::OpenInBrowser(address);
}

void TOAuthRun::OfferCode(const std::string& code) {
  if (surface_.Attended()) platform::CopyToClipboard(code);
}

void TOAuthRun::Pause(int milliseconds) { surface_.Wait(static_cast<std::uint32_t>(std::max(milliseconds, 0))); }

std::int64_t TOAuthRun::Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}
