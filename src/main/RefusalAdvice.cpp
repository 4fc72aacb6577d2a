#include "main/RefusalAdvice.h"

#include <string>

#include "core/AsciiCase.h"
#include "smtp/MessageText.h"

namespace {

constexpr std::string_view kSmtpAuthOff =
    "Microsoft 365 has SMTP AUTH turned off for this mailbox or organisation: an administrator must turn on "
    "Authenticated SMTP before any login, with a password or with /OAUTH.";
constexpr std::string_view kSignInWithOAuth =
    "Microsoft 365 takes no password here: sign in once with /OAUTHSETUP, then send with /OAUTH (the guide's "
    "\"OAuth 2.0: sign in once\").";
constexpr std::string_view kCheckLogin = "The server refused the login: check /LOGIN and the password.";
constexpr std::string_view kCheckLoginOrOAuth =
    "The server refused the login: check /LOGIN and the password; where Microsoft 365 takes no password for the "
    "mailbox, sign in with /OAUTHSETUP and send with /OAUTH.";
constexpr std::string_view kAppPassword =
    "The account takes no password of its own here: use an app password (Gmail: Google Account, Security, App "
    "passwords) with /PWF, or sign in with /OAUTHSETUP and send with /OAUTH.";
constexpr std::string_view kEncrypt =
    "The server takes this only over an encrypted connection: add /ENCRYPT:STARTTLS (or /ENCRYPT:TLS on a port "
    "that speaks TLS from the first byte).";
constexpr std::string_view kLogIn =
    "The server takes mail only from a sender who logs in: add /LOGIN with its password (and /ENCRYPT).";
constexpr std::string_view kRelay =
    "The server passes mail on to other domains only for a sender who logs in: add /LOGIN with its password (and "
    "/ENCRYPT), or send through a server of the recipient's domain.";
constexpr std::string_view kUnauthenticated =
    "The recipient's server found no proof (SPF, DKIM, DMARC) that the domain of /F sends through this server: "
    "send through a server of that domain, or have its owner name this one in the domain's SPF record.";
constexpr std::string_view kUnsigned =
    "The recipient's server wants the message signed with DKIM by the domain of /F, which mailshot does not do: "
    "send through a server of that domain that signs its mail.";
constexpr std::string_view kTooLarge =
    "The message is larger than the server takes: attach fewer or smaller files, or a link to them instead.";
constexpr std::string_view kRateLimit =
    "The server takes no more from this sender or address for now (a rate limit): try again later; /RETRY does so "
    "by itself.";
constexpr std::string_view kDailyLimit =
    "The account has reached its daily sending limit: the server takes more once the day's count starts afresh.";

/// A well-known refusal: what its reply has, and the advice for it.
struct AdviceRow {
  int code;                   // the reply code; 0: any
  std::string_view enhanced;  // the enhanced status code; empty: any
  std::string_view words;     // in lower case; empty: any
  std::string_view advice;
};

// The first row that fits counts: the narrower rows of a code come first.
// A multi-line reply's refusal carries its last line alone, so a row keeps
// to what that line has (Gmail puts its words on the first).
constexpr AdviceRow kAdvice[] = {
    // Microsoft 365, which turns password logins off.
    {535, "5.7.139", "smtpclientauthentication is disabled", kSmtpAuthOff},
    {535, "5.7.139", "credentials were incorrect", kCheckLogin},
    {535, "5.7.139", "", kSignInWithOAuth},
    {0, "", "basic authentication is disabled", kSignInWithOAuth},
    {535, "5.7.3", "", kCheckLoginOrOAuth},
    // Gmail's "Application-specific password required"; RFC 4954's
    // "mechanism too weak" for a password alike.
    {534, "5.7.9", "", kAppPassword},
    {530, "", "starttls", kEncrypt},
    {538, "5.7.11", "", kEncrypt},
    {530, "5.7.57", "", kLogIn},
    {530, "", "authentication required", kLogIn},
    {530, "", "wantautherror", kLogIn},
    {0, "", "relay access denied", kRelay},
    {0, "", "unable to relay", kRelay},
    {0, "5.7.26", "", kUnauthenticated},
    {0, "5.7.1", "unauthenticated", kUnauthenticated},
    {0, "5.7.30", "", kUnsigned},
    {0, "5.3.4", "", kTooLarge},
    {0, "5.2.3", "", kTooLarge},
    {421, "4.7.0", "", kRateLimit},
    {0, "5.4.5", "", kDailyLimit},
};

/// The reply code that opens line; 0 when it opens with none.
int ReplyCode(std::string_view line) {
  if (line.size() < 3) return 0;
  int code = 0;
  for (const char c : line.substr(0, 3)) {
    if (c < '0' || c > '9') return 0;
    code = code * 10 + (c - '0');
  }
  return line.size() == 3 || line[3] == ' ' || line[3] == '-' || line[3] == '\r' ? code : 0;
}

}  // namespace

std::string_view RefusalAdvice(std::string_view reply, bool loginRefused) {
  const int code = ReplyCode(reply);
  if (code == 0) return {};
  const std::string enhanced = smtp_text::EnhancedStatus(reply);
  const std::string lowered = AsciiLowered(reply);
  for (const AdviceRow& row : kAdvice) {
    if ((row.code == 0 || row.code == code) && (row.enhanced.empty() || row.enhanced == enhanced) &&
        lowered.find(row.words) != std::string::npos) {
      return row.advice;
    }
  }
  return loginRefused ? kCheckLogin : std::string_view();
}
