#pragma once
// Logging in with SMTP AUTH: the mechanisms the client knows, one table row
// and one exchange each, and the choice among those a server offers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "smtp/Capabilities.h"
#include "smtp/Dialogue.h"

/// How the client logs in (SMTP AUTH) when it has a LoginName.
enum TAuthMechanism : std::uint8_t {
  amAutomatic = 0,     // PLAIN when the server offers it, else LOGIN
  amPlain = 1,
  amLogin = 2,
  amXOAuth2 = 3,       // Password holds an OAuth 2.0 access token
  amOAuthBearer = 4,   // Password holds an OAuth 2.0 access token (RFC 7628)
  amTokenAutomatic = 5,  // Password holds an access token: XOAUTH2 when the server offers it, else OAUTHBEARER
};

/// True when mechanism sends an access token rather than a password.
bool SendsToken(TAuthMechanism mechanism);

/// The name of mechanism in AUTH commands and EHLO replies ("PLAIN", ...);
/// empty for the automatic choices.
std::string_view AuthMechanismName(TAuthMechanism mechanism);

/// The most bytes a user name or password may have: their encoded forms
/// must fit one command line.
inline constexpr size_t kLongestCredential = 16384;

/// True when credential is longer than kLongestCredential.
inline bool CredentialTooLong(std::string_view credential) { return credential.size() > kLongestCredential; }

/// What a login sends: the user name and the password (for XOAUTH2 the
/// access token). The caller owns both and wipes them.
struct TCredentials {
  const std::string& user;
  const std::string& password;
};

/// Logs in on the dialogue's connection with mechanism, or for amAutomatic
/// with the first password mechanism the server offers (PLAIN, then LOGIN),
/// for amTokenAutomatic with the first token mechanism (XOAUTH2, then
/// OAUTHBEARER, which names the wire's Host and Port as RFC 7628 asks);
/// offered is the latest EHLO reply's. Every copy of the credentials it
/// makes is wiped before it returns. Raises kErrMechanismNotOffered,
/// kErrNoPasswordMechanism (nothing sent then), EAuthenticationRefused for a
/// permanent refusal of the credentials, the last line of any other refusal
/// (after a challenge where none was due, the reply to its cancel; after
/// the XOAUTH2 error challenge, the reply to the empty line that ends it;
/// after the OAUTHBEARER one, the reply to the byte 0x01 that ends it), and
/// what the dialogue raises.
void Authenticate(TSmtpDialogue& dialogue, const TSmtpCapabilities& offered, TAuthMechanism mechanism,
                  const TCredentials& credentials);
