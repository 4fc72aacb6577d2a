#include "oauth/TokenSource.h"

#include "oauth/OAuthErrors.h"
#include "oauth/TokenEndpoint.h"
#include "platform/File.h"

namespace oauth {
namespace {

/// The token file, then its name again for the sign-in.
constexpr std::string_view kNoRefreshToken =
    "The token file %s holds no refresh token yet: sign in first with /OAUTHSETUP:%s.";
/// The token file, then the time waited.
constexpr std::string_view kLockedTooLong = "The token file %s stayed locked by another run for %s.";
/// The token file, then the seconds left.
constexpr std::string_view kTokenKept = "OAuth: the access token kept in %s is good for %s s more";
/// The token file, the reason it cannot be written, then its name again for the sign-in.
constexpr std::string_view kSignInLost =
    "The token endpoint replaced the refresh token, but the token file %s cannot be written: %s. The sign-in is "
    "lost: sign in again with /OAUTHSETUP:%s.";
/// The lock file, then the token file.
constexpr std::string_view kLockUnusable =
    "The lock file %s cannot be opened (another user's?): remove it, and mailshot makes it anew for %s.";
constexpr std::string_view kLockSuffix = ".lock";
constexpr int kLockPollMilliseconds = 20;

}  // namespace

TTokenFileLock::TTokenFileLock(const std::string& path, TOAuthHost& host, int timeoutMilliseconds)
    : file_(platform::kInvalidFile) {
  // By the file itself: two names of one file (a link) share its lock.
  const std::string resolved = platform::ResolvedPath(path);
  const std::string lockPath = resolved + std::string(kLockSuffix);
  // Another run holds the lock for one exchange at most (and writing the file).
  const std::int64_t longest = 2 * static_cast<std::int64_t>(timeoutMilliseconds);
  for (std::int64_t waited = 0;; waited += kLockPollMilliseconds) {
    platform::LockState state = platform::LockState::kCannotMake;
    file_ = platform::TryLockFile(lockPath, state);
    if (state == platform::LockState::kTaken) {
      // No other run writes now: a new file left beside it was a killed run's.
      platform::RemoveStrayReplacements(resolved);
      return;
    }
    if (state == platform::LockState::kCannotMake) return;
    if (state == platform::LockState::kCannotOpen) throw ESettingsError(Filled(kLockUnusable, {lockPath, path}));
    if (longest > 0 && waited >= longest) {
      throw EUnavailable(Filled(kLockedTooLong, {path, std::to_string(waited / 1000) + " s"}));
    }
    host.Pause(kLockPollMilliseconds);
  }
}

TTokenFileLock::~TTokenFileLock() {
  if (file_ != platform::kInvalidFile) platform::CloseFile(file_);
}

TTokenSource::TTokenSource(std::string path, TOAuthHost& host, TExchangeSettings settings)
    : path_(std::move(path)), host_(host), settings_(std::move(settings)) {}

void TTokenSource::Check() const { TTokenFile::Load(path_); }

template <typename Keep>
std::string TTokenSource::TokenOf(Keep keep) {
  const TTokenFileLock lock(path_, host_, settings_.timeoutMilliseconds);
  TTokenFile file = TTokenFile::Load(path_);
  const std::int64_t now = host_.Now();
  const std::string& kept = file.Text(kAccessToken);
  const std::int64_t left = file.ExpiresAt().value_or(now) - now;
  if (!kept.empty() && left > kExpiryMargin && keep(kept)) {
    host_.Secret(kept);
    host_.Trace(TOAuthTrace::kNote, Filled(kTokenKept, {path_, std::to_string(left)}));
    lastFresh_ = false;
    return kept;
  }
  // Room for the new file first: a refresh token may be replaced by the
  // exchange, and one that cannot be kept is a sign-in lost.
  file.PrepareSave();
  TTokenEndpoint endpoint(host_, settings_, file);
  TTokens tokens;
  try {
    if (file.ClientCredentials()) {
      tokens = endpoint.ClientCredentials();
    } else {
      if (file.Text(kRefreshToken).empty()) {
        throw ESettingsError(Filled(kNoRefreshToken, {path_, path_}));
      }
      tokens = endpoint.Refresh();
    }
  } catch (const Exception&) {
    if (endpoint.RefusedAnswersRefreshToken().empty()) throw;
    TTokens replaced;
    replaced.refreshToken = endpoint.RefusedAnswersRefreshToken();
    KeepAndSave(file, replaced, now);
    throw;
  }
  KeepAndSave(file, tokens, now);
  lastFresh_ = true;
  return std::move(tokens.accessToken);
}

void TTokenSource::KeepAndSave(TTokenFile& file, const TTokens& tokens, std::int64_t now) const {
  const bool replaced = !tokens.refreshToken.empty() && tokens.refreshToken != file.Text(kRefreshToken);
  file.Keep(tokens, now);
  if (!replaced) return file.Save();
  const std::string problem = file.TrySave();
  if (!problem.empty()) throw ESettingsError(Filled(kSignInLost, {path_, problem, path_}));
}

std::string TTokenSource::AccessToken() {
  return TokenOf([](const std::string&) { return true; });
}

std::string TTokenSource::FreshAccessToken(const std::string& refused) {
  return TokenOf([&refused](const std::string& kept) { return kept != refused; });
}

}  // namespace oauth
