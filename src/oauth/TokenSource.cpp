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
constexpr std::string_view kLockSuffix = ".lock";
constexpr int kLockPollMilliseconds = 20;

}  // namespace

TTokenFileLock::TTokenFileLock(const std::string& path, TOAuthHost& host, int timeoutMilliseconds)
    : file_(platform::kInvalidFile) {
  const std::string lockPath = path + std::string(kLockSuffix);
  // Another run holds the lock for one exchange at most (and writing the file).
  const std::int64_t longest = 2 * static_cast<std::int64_t>(timeoutMilliseconds);
  for (std::int64_t waited = 0;; waited += kLockPollMilliseconds) {
    bool heldElsewhere = false;
    file_ = platform::TryLockFile(lockPath, heldElsewhere);
    if (file_ != platform::kInvalidFile || !heldElsewhere) return;
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
  TTokenEndpoint endpoint(host_, settings_, file);
  TTokens tokens;
  if (file.ClientCredentials()) {
    tokens = endpoint.ClientCredentials();
  } else {
    if (file.Text(kRefreshToken).empty()) {
      throw ESettingsError(Filled(kNoRefreshToken, {path_, path_}));
    }
    tokens = endpoint.Refresh();
  }
  file.Keep(tokens, now);
  file.Save();
  lastFresh_ = true;
  return std::move(tokens.accessToken);
}

std::string TTokenSource::AccessToken() {
  return TokenOf([](const std::string&) { return true; });
}

std::string TTokenSource::FreshAccessToken(const std::string& refused) {
  return TokenOf([&refused](const std::string& kept) { return kept != refused; });
}

}  // namespace oauth
