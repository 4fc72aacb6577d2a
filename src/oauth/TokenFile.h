#pragma once
// The token file: JSON that the user writes once with the settings of the
// sign-in (field names of RFC 8414 and RFC 6749), and in which the program
// keeps the tokens, every other field as it was.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "platform/File.h"

namespace oauth {

// The fields the program reads or writes.
inline constexpr std::string_view kTokenEndpoint = "token_endpoint";
inline constexpr std::string_view kDeviceEndpoint = "device_authorization_endpoint";
inline constexpr std::string_view kAuthorizationEndpoint = "authorization_endpoint";
inline constexpr std::string_view kClientId = "client_id";
inline constexpr std::string_view kClientSecret = "client_secret";
inline constexpr std::string_view kScope = "scope";
inline constexpr std::string_view kGrantType = "grant_type";
inline constexpr std::string_view kRefreshToken = "refresh_token";
inline constexpr std::string_view kAccessToken = "access_token";
inline constexpr std::string_view kExpiresAt = "expires_at";
/// The one grant_type the file may name: app-only sign-in, no user.
inline constexpr std::string_view kClientCredentials = "client_credentials";

/// What a token endpoint issued; wiped when it ends, never copied.
struct TTokens {
  TTokens() = default;
  TTokens(TTokens&&) = default;
  TTokens& operator=(TTokens&&) = default;
  TTokens(const TTokens&) = delete;
  TTokens& operator=(const TTokens&) = delete;
  ~TTokens();

  std::string accessToken;
  std::string refreshToken;               // empty: none came (the one stored stays)
  std::optional<std::int64_t> expiresIn;  // seconds; none: not said
};

/// The token file's content, read and checked whole and written whole. Owned
/// by the step that reads it; the secrets it holds are wiped when it ends.
class TTokenFile {
 public:
  /// Reads path and checks it: in a folder where others cannot put a file
  /// of their own in its place, nested no deeper than kDeepestNesting, a JSON object with token_endpoint and
  /// client_id, every endpoint an https address, the fields above texts
  /// (expires_at a number), grant_type absent or client_credentials, which
  /// needs client_secret; its sealed tokens opened. Raises ESettingsError
  /// naming the file and its fault (never a value that may be a secret), a
  /// token sealed for another user or machine among them.
  static TTokenFile Load(const std::string& path);

  TTokenFile(TTokenFile&&) noexcept;
  TTokenFile& operator=(TTokenFile&&) noexcept;
  ~TTokenFile();

  const std::string& Path() const { return path_; }
  /// The text of field; empty when the file lacks it.
  const std::string& Text(std::string_view field) const;
  /// expires_at: Unix seconds; none when the file lacks it.
  std::optional<std::int64_t> ExpiresAt() const;
  /// True when the file asks for app-only sign-in (client credentials).
  bool ClientCredentials() const;

  /// Keeps what an endpoint issued at the time now (Unix seconds): the
  /// access token, expires_at (now + expires_in, or removed when the
  /// answer did not say), and the refresh token when one came. Without an
  /// access token the one kept and its expiry are removed.
  void Keep(const TTokens& tokens, std::int64_t now);
  /// Makes the new file that Save writes, with room for fresh tokens, so
  /// that a folder that cannot take it shows before a refresh token is
  /// spent. Raises EFailure with the system's reason.
  void PrepareSave();
  /// Writes the whole file in one step (the old content or the new, never
  /// part), readable by its owner only (on POSIX), once per Load. Refuses
  /// when another file has taken the place of the one read (a link
  /// included). Raises EFailure with the reason.
  void Save();
  /// Save, giving the reason it failed instead (empty: written).
  std::string TrySave();

 private:
  TTokenFile(std::string path, std::string resolved, platform::FileIdentity identity, std::size_t size,
             std::unique_ptr<nlohmann::ordered_json> json);

  std::string path_;
  std::string resolved_;  // the file itself, links resolved when it was read
  platform::FileIdentity identity_;
  std::size_t size_ = 0;
  platform::FileReplacement replacement_;
  std::unique_ptr<nlohmann::ordered_json> json_;
};

/// The deepest nesting of arrays and objects taken in a token file or an
/// endpoint's answer; deeper ones are refused before they are parsed.
inline constexpr std::size_t kDeepestNesting = 64;

/// Overwrites every text held in json, at any depth (an answer or a file
/// that may hold tokens), so that none outlives its use.
void WipeTexts(nlohmann::ordered_json& json);
/// True when the JSON text json nests arrays and objects deeper than
/// kDeepestNesting (the text need not be valid JSON).
bool NestedTooDeep(std::string_view json);

}  // namespace oauth
