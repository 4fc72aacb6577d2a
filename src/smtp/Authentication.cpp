#include "smtp/Authentication.h"

#include <initializer_list>
#include <optional>

#include "core/Wipe.h"
#include "encoding/LineEncoding.h"
#include "platform/Text.h"
#include "smtp/MessageText.h"
#include "smtp/SmtpTexts.h"

namespace {

// The AUTH exchanges, after the last EHLO; the arguments are base64 forms of
// the credentials, masked in the trace. A 334 reply is a challenge: the next
// line answers it.

// What ends an exchange that a challenge left open; the server's reply to it
// is the refusal, whatever its code (none counts as acceptance).
constexpr DialogueStep kCancelAuth{"*", "", 0, kNoCode, OnRefusal::kRaiseReply, "reply to the cancelled AUTH"};
constexpr DialogueStep kEndXOAuth2{"", "", 0, kNoCode, OnRefusal::kRefuseCredentials,
                                   "reply to the end of AUTH XOAUTH2"};
// RFC 7628, 3.2.3: the error challenge is answered with the byte 0x01 (base64 "AQ==").
constexpr DialogueStep kEndOAuthBearer{"AQ==", "", 0, kNoCode, OnRefusal::kRefuseCredentials,
                                       "reply to the end of AUTH OAUTHBEARER"};

constexpr DialogueStep kAuthPlain{"AUTH PLAIN ", "", 200, 299, OnRefusal::kRefuseCredentials, "reply to AUTH PLAIN",
                                  true, &kCancelAuth};
constexpr DialogueStep kAuthLogin{"AUTH LOGIN", "", kChallenge, kChallenge, OnRefusal::kRaiseReply,
                                  "reply to AUTH LOGIN"};
constexpr DialogueStep kLoginUser{"", "", kChallenge, kChallenge, OnRefusal::kRefuseCredentials,
                                  "reply to the user name", true};
constexpr DialogueStep kLoginPassword{"", "", 200, 299, OnRefusal::kRefuseCredentials, "reply to the password",
                                      true, &kCancelAuth};
/// The most bytes of a refused token's reason that a note shows: the
/// usual status, schemes and scope fit many times over.
constexpr size_t kLongestReason = 400;

/// text as one line of at most kLongestReason bytes: each run of blanks
/// and control characters (the indented lines of a JSON text laid out) as
/// one blank, and a longer text cut before a character, marked with "...".
std::string OneShortLine(std::string_view text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const unsigned char c1 = platform::Utf8C1Control(text, i);
    if (c <= 0x20 || c == 0x7F || c1 != 0) {
      if (!line.empty() && line.back() != ' ') line += ' ';
      if (c1 != 0) ++i;
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty() && line.back() == ' ') line.pop_back();
  if (line.size() <= kLongestReason) return line;
  size_t cut = kLongestReason;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;  // not within a character
  line.resize(cut);
  return line + "...";
}

/// The note on a token mechanism's error challenge: the reason it carries
/// in base64 (a JSON text, RFC 7628, 3.2.2), decoded; empty when it is no
/// base64, and the line as received must do.
std::string RefusedTokenNote(const std::string& line) {
  const std::string challenge = smtp_text::WithoutLineEnd(line.size() > 4 ? line.substr(4) : std::string());
  const std::optional<std::string> reason = line_encoding::DecodeBase64(challenge);
  if (!reason || reason->empty()) return {};
  return std::string(kNoteTokenRefused) + OneShortLine(*reason);
}

// A refused token gets a challenge first: a JSON text saying why.
constexpr DialogueStep kAuthXOAuth2{"AUTH XOAUTH2 ", "", 200, 299, OnRefusal::kRefuseCredentials,
                                    "reply to AUTH XOAUTH2", true, &kEndXOAuth2, RefusedTokenNote};
constexpr DialogueStep kAuthOAuthBearer{"AUTH OAUTHBEARER ", "", 200, 299, OnRefusal::kRefuseCredentials,
                                        "reply to AUTH OAUTHBEARER", true, &kEndOAuthBearer, RefusedTokenNote};

/// Whether an encoded form carries the password, and must join the
/// connection's secrets before it is sent.
enum class Carries { kUserOnly, kPassword };

/// Sends a step whose argument is an encoded form of the credentials, and
/// wipes it.
void RequireEncoded(TSmtpDialogue& dialogue, const DialogueStep& step, std::string encoded, Carries carries) {
  const TWipeOnExit wipe(encoded);
  // A server may echo it: no text may show it then either.
  if (carries == Carries::kPassword) dialogue.Wire().Secrets.Add(encoded);
  dialogue.Require(step, encoded);
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
  RequireEncoded(dialogue, kAuthPlain, EncodedCredentials({nul, credentials.user, nul, credentials.password}),
                 Carries::kPassword);
}

void LogInLogin(TSmtpDialogue& dialogue, const TCredentials& credentials) {
  dialogue.Require(kAuthLogin);
  RequireEncoded(dialogue, kLoginUser, line_encoding::Base64(credentials.user), Carries::kUserOnly);
  RequireEncoded(dialogue, kLoginPassword, line_encoding::Base64(credentials.password), Carries::kPassword);
}

void LogInXOAuth2(TSmtpDialogue& dialogue, const TCredentials& credentials) {
  RequireEncoded(dialogue, kAuthXOAuth2,
                 EncodedCredentials({"user=", credentials.user, "\x01" "auth=Bearer ", credentials.password, "\x01\x01"}),
                 Carries::kPassword);
}

void LogInOAuthBearer(TSmtpDialogue& dialogue, const TCredentials& credentials) {
  // RFC 7628, 3.1: the GS2 header naming the user, then host, port and token.
  const TTidewire& wire = dialogue.Wire();
  const std::string port = std::to_string(wire.Port);
  RequireEncoded(dialogue, kAuthOAuthBearer,
                 EncodedCredentials({"n,a=", credentials.user, ",\x01" "host=", wire.Host, "\x01" "port=", port,
                                     "\x01" "auth=Bearer ", credentials.password, "\x01\x01"}),
                 Carries::kPassword);
}

/// What a mechanism sends: the automatic choice for a password takes only
/// password rows, the one for a token only token rows.
enum class Sends { kPassword, kToken };

/// One mechanism: its name, what it sends (the automatic choices go by the
/// table's order), and the exchange that logs in with it.
struct Mechanism {
  TAuthMechanism id;
  std::string_view name;
  Sends sends;
  void (*logIn)(TSmtpDialogue& dialogue, const TCredentials& credentials);
};

constexpr Mechanism kMechanisms[] = {
    {amPlain, "PLAIN", Sends::kPassword, LogInPlain},
    {amLogin, "LOGIN", Sends::kPassword, LogInLogin},
    {amXOAuth2, "XOAUTH2", Sends::kToken, LogInXOAuth2},
    {amOAuthBearer, "OAUTHBEARER", Sends::kToken, LogInOAuthBearer},
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

/// The row of mechanism (or of the automatic choice) when the server offers it.
const Mechanism& Chosen(const TSmtpCapabilities& offered, TAuthMechanism mechanism) {
  for (const Mechanism& known : kMechanisms) {
    const bool wanted = mechanism == amAutomatic        ? known.sends == Sends::kPassword
                        : mechanism == amTokenAutomatic ? known.sends == Sends::kToken
                                                        : known.id == mechanism;
    if (wanted && offered.OffersAuth(known.name)) return known;
  }
  if (mechanism == amAutomatic) throw Exception(FillPlaceholder(kErrNoPasswordMechanism, OfferedMechanisms(offered)));
  if (mechanism == amTokenAutomatic) throw Exception(FillPlaceholder(kErrNoTokenMechanism, OfferedMechanisms(offered)));
  throw Exception(FillPlaceholder(FillPlaceholder(kErrMechanismNotOffered, AuthMechanismName(mechanism)),
                                  OfferedMechanisms(offered)));
}

}  // namespace

bool SendsToken(TAuthMechanism mechanism) {
  if (mechanism == amTokenAutomatic) return true;
  for (const Mechanism& known : kMechanisms) {
    if (known.id == mechanism) return known.sends == Sends::kToken;
  }
  return false;
}

std::string_view AuthMechanismName(TAuthMechanism mechanism) {
  for (const Mechanism& known : kMechanisms) {
    if (known.id == mechanism) return known.name;
  }
  return {};
}

void Authenticate(TSmtpDialogue& dialogue, const TSmtpCapabilities& offered, TAuthMechanism mechanism,
                  const TCredentials& credentials) {
  const Mechanism& chosen = Chosen(offered, mechanism);
  TSecretList& secrets = dialogue.Wire().Secrets;
  secrets.Add(credentials.password);
  std::string encoded = line_encoding::Base64(credentials.password);
  const TWipeOnExit wipe(encoded);
  secrets.Add(encoded);
  chosen.logIn(dialogue, credentials);
}
