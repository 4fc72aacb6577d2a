#pragma once
// The one sign-in of /OAUTHSETUP that fills a token file: the device flow
// (RFC 8628) where the file names a device authorization endpoint, else the
// authorization code with a proof key (RFC 7636) returned to a listener on
// this machine (RFC 8252); client credentials need no user at all.

#include <cstdint>
#include <string>
#include <string_view>

#include "oauth/OAuthHost.h"

namespace oauth {

/// How long the program waits for the browser to come back to it.
inline constexpr std::int64_t kBrowserWaitSeconds = 600;
/// The longest a device sign-in is waited for, whatever the endpoint says
/// its code is valid for (seconds).
inline constexpr std::int64_t kLongestDeviceWait = 1800;

/// The proof key of one sign-in (RFC 7636): a random verifier of 43
/// characters and its S256 challenge. Raises EFailure when the system
/// gives no randomness or digest.
struct TProofKey {
  TProofKey();
  TProofKey(const TProofKey&) = delete;
  TProofKey& operator=(const TProofKey&) = delete;
  ~TProofKey();

  std::string verifier;
  std::string challenge;
};

/// base64url without padding (RFC 4648, 5), as RFC 7636 asks for.
std::string Base64Url(std::string_view bytes);

/// True for an address that a browser may be given: http or https, a host,
/// and no blank or control character. An endpoint's address of any other
/// scheme could start a program or open a file.
bool IsWebAddress(std::string_view address);

/// The sign-in for one token file.
class TSignIn {
 public:
  /// host must outlive the object.
  TSignIn(std::string path, TOAuthHost& host, TExchangeSettings settings);

  /// Reads and checks the token file, and that it names a way to sign in;
  /// raises ESettingsError. Called before anything else.
  void Check() const;
  /// Signs in as the file asks and keeps the tokens in it (written whole,
  /// under its lock). Shows the address (and code) through the host's
  /// prompt, each on a line of its own, and opens the address in the
  /// browser: for the device flow the one with the code in it where the
  /// endpoint gives one, and the code goes to the host's OfferCode.
  /// Returns the text that tells of success. Raises ESettingsError for the
  /// file's faults, a refusal of the client and a sign-in that gave no
  /// refresh token (the file keeps the access token then); EFailure for no
  /// answer, a declined or expired sign-in, no browser back in time, the
  /// file not written, a device authorization endpoint's address that is
  /// no IsWebAddress (nothing is shown or opened then).
  std::string Run();

 private:
  std::string path_;
  TOAuthHost& host_;
  TExchangeSettings settings_;
};

}  // namespace oauth
