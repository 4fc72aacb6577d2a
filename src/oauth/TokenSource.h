#pragma once
// The access token of a send (/OAUTH): the one kept in the token file while
// it is good for more than five minutes, else a fresh one, written to the
// file before it is handed out.

#include <cstdint>
#include <string>

#include "oauth/OAuthHost.h"
#include "oauth/TokenFile.h"

namespace oauth {

/// A cached token is used only while it has more than this left (seconds).
inline constexpr std::int64_t kExpiryMargin = 300;

/// Holds the token file's lock (a file beside it, named by adding ".lock")
/// for as long as it lives, waiting for another holder as long as the
/// settings' time bound allows twice over (no bound: as long as it takes),
/// serving the window meanwhile. The lock is the resolved file's, so that a
/// link and its target share it; once held, the new files that a killed
/// run left beside the token file are removed. A lock file that cannot be
/// made (a folder without the right to write) takes nothing: then the token
/// file cannot be written either, which its PrepareSave reports before any
/// exchange. Raises EUnavailable when the wait runs out, ESettingsError
/// for a lock file that is there but cannot be opened.
class TTokenFileLock {
 public:
  TTokenFileLock(const std::string& path, TOAuthHost& host, int timeoutMilliseconds);
  ~TTokenFileLock();
  TTokenFileLock(const TTokenFileLock&) = delete;
  TTokenFileLock& operator=(const TTokenFileLock&) = delete;

 private:
  std::intptr_t file_;
};

/// The access tokens of the send that /OAUTH names a token file for. The
/// file's lock is held from reading the file to writing it: of two runs
/// that start together, the second waits and then takes what the first
/// wrote, so that a refresh token (which some providers replace at each
/// use) is spent once.
class TTokenSource {
 public:
  /// host must outlive the object.
  TTokenSource(std::string path, TOAuthHost& host, TExchangeSettings settings);

  const std::string& Path() const { return path_; }
  /// Reads and checks the token file; raises its ESettingsError. Called
  /// before any connection, so that a broken file ends the job there.
  void Check() const;
  /// The token to log in with: the one kept while it has more than
  /// kExpiryMargin left, else a fresh one (by the refresh token, or by the
  /// client's credentials for app-only sign-in), kept in the file first.
  /// Raises ESettingsError for the file's faults, a file without a refresh
  /// token, what TTokenEndpoint raises and a replaced refresh token that
  /// cannot be written (the sign-in is lost); EUnavailable for no answer or
  /// the lock not had in time, EFailure for the file not written otherwise
  /// (no room for it is found before the exchange). The refresh token of an
  /// answer refused for its access token is kept.
  std::string AccessToken();
  /// A token other than refused, after the server refused it: the one
  /// another run kept meanwhile, else a fresh one as AccessToken gets it.
  std::string FreshAccessToken(const std::string& refused);
  /// True when the token last handed out came fresh from the endpoint
  /// (then a refusal of it is not the token's age).
  bool LastWasFresh() const { return lastFresh_; }

 private:
  /// The token of the locked file: kept when keep says so, else fresh.
  template <typename Keep>
  std::string TokenOf(Keep keep);
  /// Keeps tokens in file and writes it; raises ESettingsError when a
  /// replaced refresh token came that cannot be written (the one before it
  /// is spent), else Save's EFailure.
  void KeepAndSave(TTokenFile& file, const TTokens& tokens, std::int64_t now) const;

  std::string path_;
  TOAuthHost& host_;
  TExchangeSettings settings_;
  bool lastFresh_ = false;
};

}  // namespace oauth
