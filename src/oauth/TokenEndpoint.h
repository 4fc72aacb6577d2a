#pragma once
// The exchanges with an authorization server: each grant's form (RFC 6749,
// RFC 7636, RFC 8628) posted to its endpoint, the JSON answer read, and a
// refusal turned into the failure the program reports.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "oauth/OAuthHost.h"
#include "oauth/TokenFile.h"

namespace oauth {

/// The grant of the device flow (RFC 8628).
inline constexpr std::string_view kDeviceCodeGrant = "urn:ietf:params:oauth:grant-type:device_code";

/// One field of a form or query; the value may be a secret.
struct TFormField {
  std::string_view name;
  std::string_view value;
};
/// The fields as application/x-www-form-urlencoded: "name=value" joined by
/// "&", every byte but letters, digits and "-._~" as %XX; built in storage
/// of its final size, so that a secret leaves no copy behind.
std::string FormEncoded(std::span<const TFormField> fields);
/// text with its %XX decoded and "+" as a blank.
std::string PercentDecoded(std::string_view text);

/// The start of a device sign-in (RFC 8628, 3.2); the device code is wiped
/// when it ends.
struct TDeviceAuthorization {
  TDeviceAuthorization() = default;
  TDeviceAuthorization(TDeviceAuthorization&&) = default;
  TDeviceAuthorization(const TDeviceAuthorization&) = delete;
  TDeviceAuthorization& operator=(const TDeviceAuthorization&) = delete;
  ~TDeviceAuthorization();

  std::string deviceCode;
  std::string userCode;
  std::string verificationUri;
  /// The address with the user code in it (RFC 8628, 3.3.1); empty: none given.
  std::string verificationUriComplete;
  std::int64_t expiresIn = 0;  // seconds
  int interval = 5;            // seconds between polls
};

/// What one poll of a device sign-in gave.
enum class TPollState {
  kIssued,    // the tokens are there
  kPending,   // the user has not finished yet
  kSlowDown,  // as kPending, and the polls must come further apart
};

/// The endpoints of one token file. Each call is one exchange: it traces
/// "POST <endpoint>" and "HTTP <status>" (with the error field of a
/// refusal), never a form or an answer, and wipes both.
///
/// Every call raises EUnavailable when the exchange brought no answer, for
/// an answer with status 5xx, 408 or 429 or error server_error or
/// temporarily_unavailable; EFailure for one that is not the JSON it should be
/// (nested deeper than kDeepestNesting, an access token that is no RFC 6750
/// b64token);
/// ESettingsError for a refusal with invalid_grant or invalid_client (the
/// text says to sign in again), with another RFC 6749 error, or for a token
/// of a type other than Bearer.
class TTokenEndpoint {
 public:
  /// host and file must outlive the object.
  TTokenEndpoint(TOAuthHost& host, TExchangeSettings settings, const TTokenFile& file);
  ~TTokenEndpoint();
  TTokenEndpoint(const TTokenEndpoint&) = delete;
  TTokenEndpoint& operator=(const TTokenEndpoint&) = delete;

  /// A fresh access token for the file's refresh token (RFC 6749, 6).
  TTokens Refresh();
  /// An access token for the client itself (RFC 6749, 4.4).
  TTokens ClientCredentials();
  /// The tokens for an authorization code, with the proof key's verifier
  /// and the redirect address the code went to (RFC 6749, 4.1.3; RFC 7636).
  TTokens RedeemCode(std::string_view code, std::string_view verifier, std::string_view redirectUri);
  /// Starts a device sign-in at the device authorization endpoint.
  TDeviceAuthorization AuthorizeDevice();
  /// Polls the token endpoint once for a device sign-in; fills tokens when
  /// it returns kIssued. Raises EFailure naming the endpoint's text when
  /// the user declined (access_denied) or the code expired
  /// (expired_token), besides the failures above.
  TPollState PollDevice(const std::string& deviceCode, TTokens& tokens);
  /// The refresh token of the last answer with status 200 whose tokens
  /// were then refused (no access token, or one no bearer token is, or a
  /// type other than Bearer); empty for none. The one it replaces may be
  /// spent already, so the caller keeps it.
  const std::string& RefusedAnswersRefreshToken() const { return refusedAnswersRefreshToken_; }

 private:
  /// fields with the client's own: client_id, and client_secret when the
  /// file has one (RFC 6749, 2.3.1).
  std::vector<TFormField> WithClient(std::vector<TFormField> fields) const;
  TTokens Grant(std::vector<TFormField> fields);

  TOAuthHost& host_;
  TExchangeSettings settings_;
  const TTokenFile& file_;
  std::string refusedAnswersRefreshToken_;
};

}  // namespace oauth
