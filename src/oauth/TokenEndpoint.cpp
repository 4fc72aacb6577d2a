#include "oauth/TokenEndpoint.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <iterator>

#include "core/Wipe.h"
#include "oauth/OAuthErrors.h"
#include "platform/Text.h"

namespace oauth {
namespace {

using Json = nlohmann::ordered_json;

/// The endpoint, then why the exchange brought no answer.
constexpr std::string_view kNoAnswer = "The exchange with the token endpoint %s failed: %s.";
/// The endpoint, the status, then the error field and its description, if any.
constexpr std::string_view kServerTrouble = "The token endpoint %s answered HTTP %s%s; try again later.";
constexpr std::string_view kUnexpectedStatus = "The token endpoint %s answered HTTP %s%s.";
/// The error field with its description, the token file twice.
constexpr std::string_view kSignInRefused =
    "The token endpoint refused the sign-in kept in %s: %s. Sign in again with /OAUTHSETUP:%s (and check "
    "client_id and client_secret).";
/// The endpoint, the error field with its description, the token file.
constexpr std::string_view kRequestRefused = "The token endpoint %s refused the request: %s. Check the token file %s.";
/// The endpoint, then what is wrong with its answer.
constexpr std::string_view kBadAnswer = "The token endpoint %s gave an answer without %s.";
constexpr std::string_view kNotBearerToken =
    "The token endpoint %s issued an access token with characters that no bearer token holds (RFC 6750, 2.1).";
/// The endpoint, then the deepest nesting.
constexpr std::string_view kAnswerTooDeep = "The token endpoint %s gave an answer nested deeper than %s levels.";
constexpr std::string_view kNotBearer =
    "The token endpoint issued a token of type \"%s\"; SMTP takes Bearer tokens only.";
/// The endpoint's words follow.
constexpr std::string_view kDeclined = "The sign-in was declined: %s";
constexpr std::string_view kCodeExpired = "The code expired before the sign-in was done: %s";

constexpr std::string_view kUnreserved = "-._~";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kLongestDescription = 500;
/// The most seconds an answer may name: nine digits, over 31 years.
constexpr double kLongestSeconds = 999'999'999;

// The error codes of RFC 6749, 5.2 and RFC 8628, 3.5 that the program tells apart.
constexpr std::string_view kInvalidGrant = "invalid_grant";
constexpr std::string_view kInvalidClient = "invalid_client";
constexpr std::string_view kServerError = "server_error";
constexpr std::string_view kUnavailable = "temporarily_unavailable";
constexpr std::string_view kPending = "authorization_pending";
constexpr std::string_view kSlowDown = "slow_down";
constexpr std::string_view kAccessDenied = "access_denied";
constexpr std::string_view kExpiredToken = "expired_token";

/// The fields of forms and answers that hold secrets.
constexpr std::string_view kSecretFields[] = {kClientSecret, kRefreshToken, kAccessToken,
                                              "device_code", "code",        "code_verifier"};

bool IsSecret(std::string_view field) {
  return std::find(std::begin(kSecretFields), std::end(kSecretFields), field) != std::end(kSecretFields);
}

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         kUnreserved.find(static_cast<char>(c)) != std::string_view::npos;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

/// The text of field in an answer; empty when it is absent or no text.
std::string TextOf(const Json& answer, std::string_view field) {
  const auto found = answer.find(field);
  return found != answer.end() && found->is_string() ? found->get<std::string>() : std::string();
}

/// A number of seconds as an answer gives it: a JSON number, or a text of
/// digits as some endpoints send; none for anything else, a negative number
/// or one beyond kLongestSeconds (which would overflow a point in time).
std::optional<std::int64_t> SecondsOf(const Json& answer, std::string_view field) {
  const auto found = answer.find(field);
  if (found == answer.end()) return std::nullopt;
  if (found->is_number()) {
    const double seconds = found->get<double>();
    if (!(seconds >= 0 && seconds <= kLongestSeconds)) return std::nullopt;
    return static_cast<std::int64_t>(seconds);
  }
  if (!found->is_string()) return std::nullopt;
  const std::string& text = found->get_ref<const std::string&>();
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoll(text);
}

/// True when token is a b64token of RFC 6750, 2.1, as a bearer token must
/// be: it goes into the SMTP login as it is, so a line end or a control
/// character in it would break or extend the login.
bool IsB64Token(std::string_view token) {
  const std::size_t end = token.find_last_not_of('=');
  if (end == std::string_view::npos) return false;
  for (const char c : token.substr(0, end + 1)) {
    const auto byte = static_cast<unsigned char>(c);
    if (!(std::isalnum(byte) && byte < 0x80) && std::string_view("-._~+/").find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

/// " (error: description)" of a refusal, or nothing when it names no error.
std::string ErrorWords(const Json& answer) {
  const std::string error = TextOf(answer, "error");
  if (error.empty()) return {};
  std::string description = TextOf(answer, "error_description").substr(0, kLongestDescription);
  return description.empty() ? error : error + " \"" + description + "\"";
}

}  // namespace

std::string FormEncoded(std::span<const TFormField> fields) {
  const auto encodedSize = [](std::string_view text) {
    std::size_t size = 0;
    for (const char c : text) size += Unreserved(static_cast<unsigned char>(c)) ? 1 : 3;
    return size;
  };
  std::size_t size = 0;
  for (const TFormField& field : fields) size += encodedSize(field.name) + 1 + encodedSize(field.value) + 1;
  std::string form;
  form.reserve(size);
  const auto append = [&form](std::string_view text) {
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (Unreserved(byte)) {
        form += c;
      } else {
        form += '%';
        form += kHexDigits[byte >> 4];
        form += kHexDigits[byte & 0xF];
      }
    }
  };
  for (const TFormField& field : fields) {
    if (!form.empty()) form += '&';
    append(field.name);
    form += '=';
    append(field.value);
  }
  return form;
}

std::string PercentDecoded(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

TDeviceAuthorization::~TDeviceAuthorization() { Wipe(deviceCode); }

TTokenEndpoint::TTokenEndpoint(TOAuthHost& host, TExchangeSettings settings, const TTokenFile& file)
    : host_(host), settings_(std::move(settings)), file_(file) {}

TTokenEndpoint::~TTokenEndpoint() { Wipe(refusedAnswersRefreshToken_); }

namespace {

/// An endpoint's answer: its status and JSON (an empty object when the
/// body is none), whose texts are wiped when it ends.
struct Answer {
  Answer(int status, Json json) : status(status), json(std::move(json)) {}
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;
  ~Answer() { WipeTexts(json); }

  int status;
  Json json;
};

/// One exchange: posts fields to endpoint, traces it, and returns the
/// answer. Raises EUnavailable when there is no answer.
Answer Exchange(TOAuthHost& host, const TExchangeSettings& settings, const std::string& endpoint,
                std::span<const TFormField> fields) {
  platform::HttpRequest request{endpoint, FormEncoded(fields), settings.caFile, settings.timeoutMilliseconds};
  const TWipeOnExit wipeForm(request.form);
  std::string body;
  const TWipeOnExit wipeBody(body);
  for (const TFormField& field : fields) {
    if (IsSecret(field.name)) host.Secret(field.value);
  }
  host.Trace(TOAuthTrace::kRequest, "POST " + endpoint);
  int status = 0;
  try {
    status = host.PostForm(request, body);
  } catch (const platform::HttpError& e) {
    throw EUnavailable(Filled(kNoAnswer, {endpoint, e.what()}));
  }
  if (NestedTooDeep(body)) throw EFailure(Filled(kAnswerTooDeep, {endpoint, std::to_string(kDeepestNesting)}));
  Json answer = Json::parse(body, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) answer = Json::object();
  const std::string error = TextOf(answer, "error");
  host.Trace(TOAuthTrace::kAnswer, "HTTP " + std::to_string(status) + (error.empty() ? "" : " " + error));
  return Answer(status, std::move(answer));
}

/// Raises what a refused exchange means (see TTokenEndpoint).
[[noreturn]] void Refused(int status, const Json& answer, const std::string& endpoint, const TTokenFile& file) {
  const std::string error = TextOf(answer, "error");
  const std::string words = ErrorWords(answer);
  const std::string detail = words.empty() ? "" : " (" + words + ")";
  if (status >= 500 || status == 408 || status == 429 || error == kServerError || error == kUnavailable) {
    throw EUnavailable(Filled(kServerTrouble, {endpoint, std::to_string(status), detail}));
  }
  if (error == kInvalidGrant || error == kInvalidClient) {
    throw ESettingsError(Filled(kSignInRefused, {file.Path(), words, file.Path()}));
  }
  if (!error.empty() && status >= 400) throw ESettingsError(Filled(kRequestRefused, {endpoint, words, file.Path()}));
  throw EFailure(Filled(kUnexpectedStatus, {endpoint, std::to_string(status), detail}));
}

TTokens TokensOf(const Json& answer, const std::string& endpoint, TOAuthHost& host) {
  TTokens tokens;
  tokens.accessToken = TextOf(answer, kAccessToken);
  tokens.refreshToken = TextOf(answer, kRefreshToken);
  host.Secret(tokens.accessToken);
  host.Secret(tokens.refreshToken);
  tokens.expiresIn = SecondsOf(answer, "expires_in");
  const std::string type = TextOf(answer, "token_type");
  if (tokens.accessToken.empty()) throw EFailure(Filled(kBadAnswer, {endpoint, "an access_token"}));
  if (!IsB64Token(tokens.accessToken)) throw EFailure(Filled(kNotBearerToken, {endpoint}));
  if (!type.empty() && platform::AnsiCompareText(type, "Bearer") != 0) throw ESettingsError(Filled(kNotBearer, {type}));
  return tokens;
}

}  // namespace

std::vector<TFormField> TTokenEndpoint::WithClient(std::vector<TFormField> fields) const {
  fields.push_back({kClientId, file_.Text(kClientId)});
  if (!file_.Text(kClientSecret).empty()) fields.push_back({kClientSecret, file_.Text(kClientSecret)});
  return fields;
}

TTokens TTokenEndpoint::Grant(std::vector<TFormField> fields) {
  const std::string& endpoint = file_.Text(kTokenEndpoint);
  const Answer answer = Exchange(host_, settings_, endpoint, WithClient(std::move(fields)));
  if (answer.status != 200) Refused(answer.status, answer.json, endpoint, file_);
  try {
    return TokensOf(answer.json, endpoint, host_);
  } catch (const Exception&) {
    refusedAnswersRefreshToken_ = TextOf(answer.json, kRefreshToken);
    throw;
  }
}

TTokens TTokenEndpoint::Refresh() {
  std::vector<TFormField> fields{{kGrantType, kRefreshToken}, {kRefreshToken, file_.Text(kRefreshToken)}};
  if (!file_.Text(kScope).empty()) fields.push_back({kScope, file_.Text(kScope)});
  return Grant(std::move(fields));
}

TTokens TTokenEndpoint::ClientCredentials() {
  std::vector<TFormField> fields{{kGrantType, kClientCredentials}};
  if (!file_.Text(kScope).empty()) fields.push_back({kScope, file_.Text(kScope)});
  return Grant(std::move(fields));
}

TTokens TTokenEndpoint::RedeemCode(std::string_view code, std::string_view verifier, std::string_view redirectUri) {
  return Grant(
      {{kGrantType, "authorization_code"}, {"code", code}, {"redirect_uri", redirectUri}, {"code_verifier", verifier}});
}

TDeviceAuthorization TTokenEndpoint::AuthorizeDevice() {
  const std::string& endpoint = file_.Text(kDeviceEndpoint);
  std::vector<TFormField> fields;
  if (!file_.Text(kScope).empty()) fields.push_back({kScope, file_.Text(kScope)});
  const Answer answer = Exchange(host_, settings_, endpoint, WithClient(std::move(fields)));
  if (answer.status != 200) Refused(answer.status, answer.json, endpoint, file_);
  TDeviceAuthorization start;
  start.deviceCode = TextOf(answer.json, "device_code");
  host_.Secret(start.deviceCode);
  start.userCode = TextOf(answer.json, "user_code");
  // Google's answers once said verification_url.
  start.verificationUri = TextOf(answer.json, "verification_uri");
  if (start.verificationUri.empty()) start.verificationUri = TextOf(answer.json, "verification_url");
  start.verificationUriComplete = TextOf(answer.json, "verification_uri_complete");
  start.expiresIn = SecondsOf(answer.json, "expires_in").value_or(0);
  const std::optional<std::int64_t> interval = SecondsOf(answer.json, "interval");
  if (interval && *interval > 0) start.interval = static_cast<int>(std::min<std::int64_t>(*interval, 3600));
  for (const auto& [field, value] : {std::pair<std::string_view, bool>{"a device_code", !start.deviceCode.empty()},
                                     {"a user_code", !start.userCode.empty()},
                                     {"a verification_uri", !start.verificationUri.empty()},
                                     {"an expires_in", start.expiresIn > 0}}) {
    if (!value) throw EFailure(Filled(kBadAnswer, {endpoint, field}));
  }
  return start;
}

TPollState TTokenEndpoint::PollDevice(const std::string& deviceCode, TTokens& tokens) {
  const std::string& endpoint = file_.Text(kTokenEndpoint);
  const Answer answer =
      Exchange(host_, settings_, endpoint, WithClient({{kGrantType, kDeviceCodeGrant}, {"device_code", deviceCode}}));
  if (answer.status == 200) {
    tokens = TokensOf(answer.json, endpoint, host_);
    return TPollState::kIssued;
  }
  const std::string error = TextOf(answer.json, "error");
  if (error == kPending) return TPollState::kPending;
  if (error == kSlowDown) return TPollState::kSlowDown;
  if (error == kAccessDenied) throw EFailure(Filled(kDeclined, {ErrorWords(answer.json)}));
  if (error == kExpiredToken) throw EFailure(Filled(kCodeExpired, {ErrorWords(answer.json)}));
  Refused(answer.status, answer.json, endpoint, file_);
}

}  // namespace oauth
