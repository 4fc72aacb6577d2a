#include "smtp/Authentication.h"

#include <initializer_list>

#include "core/Wipe.h"
#include "encoding/LineEncoding.h"
#include "smtp/SmtpTexts.h"

namespace {

// The AUTH exchanges, after the last EHLO; the arguments are base64 forms of
// the credentials. A 334 reply is a challenge: the next line answers it.
// What ends an exchange that a challenge left open; the server's reply to it
// is the refusal, whatever its code (none counts as acceptance).
constexpr DialogueStep kCancelAuth{"*", "", 0, kNoCode, OnRefusal::kRaiseReply, "reply to the cancelled AUTH"};
constexpr DialogueStep kEndXOAuth2{"", "", 0, kNoCode, OnRefusal::kRefuseCredentials,
                                   "reply to the end of AUTH XOAUTH2"};

constexpr DialogueStep kAuthPlain{"AUTH PLAIN ", "", 200, 299, OnRefusal::kRefuseCredentials, "reply to AUTH PLAIN",
                                  &kCancelAuth};
constexpr DialogueStep kAuthLogin{"AUTH LOGIN", "", kChallenge, kChallenge, OnRefusal::kRaiseReply,
                                  "reply to AUTH LOGIN"};
constexpr DialogueStep kLoginUser{"", "", kChallenge, kChallenge, OnRefusal::kRefuseCredentials,
                                  "reply to the user name"};
constexpr DialogueStep kLoginPassword{"", "", 200, 299, OnRefusal::kRefuseCredentials, "reply to the password",
                                      &kCancelAuth};
// A refused token gets a challenge first: a JSON text saying why.
constexpr DialogueStep kAuthXOAuth2{"AUTH XOAUTH2 ", "", 200, 299, OnRefusal::kRefuseCredentials,
                                    "reply to AUTH XOAUTH2", &kEndXOAuth2};

/// Sends a step whose argument is a secret's encoded form, and wipes it.
void RequireSecret(TSmtpDialogue& dialogue, const DialogueStep& step, std::string argument) {
  const TWipeOnExit wipe(argument);
  dialogue.Require(step, argument);
}

/// base64 of the parts one after another, built in storage of its final
/// size and wiped once encoded.
std::string EncodedCredentials(std::initializer_list<std::string_view> parts) {
  std::string raw;
  const TWipeOnExit wipe(raw);
  size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  raw.reserve(size);
  for (const std::string_view part : parts) raw += part;
  return line_encoding::Base64(raw);
}

void LogInPlain(TSmtpDialogue& dialogue, const TCredentials& credentials) {
  const std::string_view nul("\0", 1);
  RequireSecret(dialogue, kAuthPlain, EncodedCredentials({nul, credentials.user, nul, credentials.password}));
}

void LogInLogin(TSmtpDialogue& dialogue, const TCredentials& credentials) {
  dialogue.Require(kAuthLogin);
  RequireSecret(dialogue, kLoginUser, line_encoding::Base64(credentials.user));
  RequireSecret(dialogue, kLoginPassword, line_encoding::Base64(credentials.password));
}

void LogInXOAuth2(TSmtpDialogue& dialogue, const TCredentials& credentials) {
  RequireSecret(dialogue, kAuthXOAuth2,
                EncodedCredentials({"user=", credentials.user, "\x01" "auth=Bearer ", credentials.password, "\x01\x01"}));
}

/// One mechanism: its name, whether the automatic choice may take it (in
/// the table's order), and the exchange that logs in with it.
struct Mechanism {
  TAuthMechanism id;
  std::string_view name;
  bool takesPassword;  // an access token is no password: such a mechanism is only ever asked for
  void (*logIn)(TSmtpDialogue& dialogue, const TCredentials& credentials);
};

constexpr Mechanism kMechanisms[] = {
    {amPlain, "PLAIN", true, LogInPlain},
    {amLogin, "LOGIN", true, LogInLogin},
    {amXOAuth2, "XOAUTH2", false, LogInXOAuth2},
};

/// The mechanisms of the latest EHLO reply, for a message.
std::string OfferedMechanisms(const TSmtpCapabilities& offered) {
  std::string text;
  for (const std::string& mechanism : offered.AuthMechanisms) {
    if (!text.empty()) text += ' ';
    text += mechanism;
  }
  return text.empty() ? std::string(kNoMechanismOffered) : text;
}

/// The row of mechanism (or the automatic choice) when the server offers it.
const Mechanism& Chosen(const TSmtpCapabilities& offered, TAuthMechanism mechanism) {
  for (const Mechanism& known : kMechanisms) {
    const bool wanted = mechanism == amAutomatic ? known.takesPassword : known.id == mechanism;
    if (wanted && offered.OffersAuth(known.name)) return known;
  }
  if (mechanism != amAutomatic) {
    throw Exception(FillPlaceholder(FillPlaceholder(kErrMechanismNotOffered, AuthMechanismName(mechanism)),
                                    OfferedMechanisms(offered)));
  }
  throw Exception(FillPlaceholder(kErrNoPasswordMechanism, OfferedMechanisms(offered)));
}

}  // namespace

std::string_view AuthMechanismName(TAuthMechanism mechanism) {
  for (const Mechanism& known : kMechanisms) {
    if (known.id == mechanism) return known.name;
  }
  return {};
}

void Authenticate(TSmtpDialogue& dialogue, const TSmtpCapabilities& offered, TAuthMechanism mechanism,
                  const TCredentials& credentials) {
  Chosen(offered, mechanism).logIn(dialogue, credentials);
}
