#include "oauth/SignIn.h"

#include <algorithm>
#include <list>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "core/AsciiCase.h"
#include "core/Wipe.h"
#include "encoding/LineEncoding.h"
#include "oauth/OAuthErrors.h"
#include "oauth/TokenEndpoint.h"
#include "oauth/TokenFile.h"
#include "oauth/TokenSource.h"
#include "platform/Crypto.h"
#include "platform/Entropy.h"
#include "platform/Loopback.h"
#include "platform/Tls.h"

namespace oauth {
namespace {

/// The token file.
constexpr std::string_view kNoWayToSignIn =
    "The token file %s names neither \"device_authorization_endpoint\" nor \"authorization_endpoint\": there is no "
    "sign-in to make (only \"grant_type\": \"client_credentials\" needs none).";
/// The address, the code, the minutes it is valid for; each on a line of
/// its own, so that a narrow window cuts neither.
constexpr std::string_view kDevicePrompt =
    "To sign in, open this address in a browser:\r%s\rand enter this code:\r%s\r(valid for %s minutes). mailshot "
    "waits until the sign-in is done.";
/// The endpoint, the address it gave.
constexpr std::string_view kNoWebAddress =
    "The device authorization endpoint %s gave an address to sign in at that is no http or https address, which "
    "mailshot does not open: %s";
/// The address to open.
constexpr std::string_view kBrowserPrompt = "To sign in, open this address in a browser on this machine:\r%s";
/// The user code.
constexpr std::string_view kCodeRanOut = "The code %s expired before the sign-in was done.";
constexpr std::string_view kNoBrowserBack = "No sign-in came back from the browser within 10 minutes.";
/// The error and its description.
constexpr std::string_view kDeclined = "The sign-in was declined: %s";
/// The token file.
constexpr std::string_view kSignedIn = "Signed in: the token file %s now holds a refresh token.";
constexpr std::string_view kSignedInApp =
    "Signed in: the token file %s now holds an access token for the application; later runs renew it themselves.";
constexpr std::string_view kNoRefreshTokenCame =
    "The sign-in gave no refresh token, so later runs could not renew the access token kept in %s: add "
    "offline_access to \"scope\" (Microsoft) or access_type=offline&prompt=consent to \"authorization_endpoint\" "
    "(Google), then sign in again.";
/// Why the system gave no randomness or digest.
constexpr std::string_view kNoProofKey = "No proof key for the sign-in: %s";
constexpr std::string_view kNoRandomBytes = "the system gave no random bytes";
/// Why no listener could be made.
constexpr std::string_view kNoListener = "No listener for the browser's return: %s";

// The browser's return.
constexpr std::string_view kPageSignedIn = "Signed in. mailshot has what it needs; you can close this window.";
constexpr std::string_view kPageDeclined = "The sign-in was declined. You can close this window.";
constexpr std::string_view kPageForeign = "This address does not belong to the sign-in that mailshot waits for.";
constexpr std::string_view kPageNotFound = "Not found.";
constexpr std::string_view kStatusOk = "200 OK";
constexpr std::string_view kStatusBadRequest = "400 Bad Request";
constexpr std::string_view kStatusNotFound = "404 Not Found";
constexpr std::size_t kLongestRequestHead = 8192;
/// How long one connection may take to send its request head (seconds).
constexpr std::int64_t kRequestWaitSeconds = 5;
/// Connections served side by side; a further one drops the oldest.
constexpr std::size_t kMostVisits = 16;
constexpr int kAcceptSliceMilliseconds = 200;
/// The wait for a new connection while others are served.
constexpr int kVisitSliceMilliseconds = 20;

constexpr std::string_view kBase64UrlAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::size_t kVerifierBytes = 32;  // 43 characters, RFC 7636's least
constexpr std::size_t kStateBytes = 16;

/// Closes the host's prompt when the sign-in's wait ends, however it ends.
struct PromptCloser {
  TOAuthHost& host;
  ~PromptCloser() { host.ClosePrompt(); }
};

/// size random bytes as base64url; the bytes are wiped.
std::string RandomText(std::size_t size) {
  std::string bytes(size, '\0');
  const TWipeOnExit wipeBytes(bytes);
  if (!platform::SecureRandomBytes(bytes.data(), bytes.size())) throw EFailure(Filled(kNoProofKey, {kNoRandomBytes}));
  return Base64Url(bytes);
}

/// The fields of a query ("a=1&b=2"), decoded; the caller wipes the values.
std::map<std::string, std::string> QueryFields(std::string_view query) {
  std::map<std::string, std::string> fields;
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    fields.emplace(PercentDecoded(pair.substr(0, equals)), PercentDecoded(pair.substr(equals + 1)));
  }
  return fields;
}

/// Wipes the values of fields when it ends.
struct WipedFields {
  std::map<std::string, std::string> fields;
  ~WipedFields() {
    for (auto& [name, value] : fields) Wipe(value);
  }
  const std::string& operator[](const std::string& name) const {
    static const std::string kNone;
    const auto found = fields.find(name);
    return found == fields.end() ? kNone : found->second;
  }
};

/// One connection to the listener and the request head it sent so far;
/// closed, and the head wiped, when it ends.
struct Visit {
  Visit(platform::ConnectionHandle connection, std::int64_t deadline) : connection(connection), deadline(deadline) {}
  Visit(const Visit&) = delete;
  Visit& operator=(const Visit&) = delete;
  ~Visit() {
    Wipe(head);
    if (connection != platform::kNoConnection) platform::CloseConnection(connection);
  }

  platform::ConnectionHandle connection;
  std::int64_t deadline;  // Unix seconds: its head must be whole by then
  std::string head;
};

enum class THeadState { kWhole, kComing, kBroken };

/// Takes what waits on visit's connection, without waiting: kWhole once
/// the head is there up to its empty line, kBroken when the peer closed or
/// sent more than kLongestRequestHead.
THeadState TakeWaiting(Visit& visit) {
  char chunk[1024];
  THeadState state = THeadState::kComing;
  while (state == THeadState::kComing) {
    const int n = platform::ReceiveFrom(visit.connection, chunk, sizeof chunk, 0);
    if (n < 0) break;  // nothing waits (or the connection failed, which its deadline ends)
    if (n == 0 || visit.head.size() + static_cast<std::size_t>(n) > kLongestRequestHead) {
      state = THeadState::kBroken;
    } else {
      visit.head.append(chunk, static_cast<std::size_t>(n));
      if (visit.head.find("\r\n\r\n") != std::string::npos) state = THeadState::kWhole;
    }
  }
  WipeBytes(chunk, sizeof chunk);
  return state;
}

void AnswerPage(platform::ConnectionHandle connection, std::string_view status, std::string_view words) {
  const std::string page =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>mailshot</title></head><body><p>" +
      std::string(words) + "</p></body></html>";
  platform::SendTo(connection, "HTTP/1.1 " + std::string(status) +
                                   "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                                   std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
  platform::CloseConnection(connection);
}

/// Answers the request whose head visit holds; gives the authorization
/// code when it is this sign-in's return (by its state), else nothing.
/// Raises EFailure when the return says the sign-in was declined.
std::optional<std::string> Answered(Visit& visit, const std::string& state, TOAuthHost& host) {
  const platform::ConnectionHandle connection = std::exchange(visit.connection, platform::kNoConnection);
  // "GET /?code=...&state=... HTTP/1.1"
  const std::string_view line = std::string_view(visit.head).substr(0, visit.head.find("\r\n"));
  const std::size_t targetStart = line.find(' ') + 1;
  const std::string_view target = line.substr(targetStart, line.rfind(' ') - targetStart);
  const std::size_t question = target.find('?');
  WipedFields query{QueryFields(question == std::string_view::npos ? "" : target.substr(question + 1))};
  const bool returned = line.substr(0, 4) == "GET " && target.substr(0, question) == "/" &&
                        (!query["code"].empty() || !query["error"].empty());
  if (!returned) {
    AnswerPage(connection, kStatusNotFound, kPageNotFound);
  } else if (query["state"] != state) {
    AnswerPage(connection, kStatusBadRequest, kPageForeign);
  } else if (!query["error"].empty()) {
    AnswerPage(connection, kStatusOk, kPageDeclined);
    const std::string& description = query["error_description"];
    const std::string words = description.empty() ? query["error"] : query["error"] + " \"" + description + "\"";
    throw EFailure(Filled(kDeclined, {words}));
  } else {
    AnswerPage(connection, kStatusOk, kPageSignedIn);
    host.Secret(query["code"]);
    return query["code"];
  }
  return std::nullopt;
}

/// Waits for the browser's return to listener with state and gives the
/// authorization code. Requests for other paths, and returns without the
/// state (not from this sign-in), are answered and waited past. Every
/// connection is served as its bytes come, side by side with the others,
/// and dropped when its head is not whole within kRequestWaitSeconds: a
/// slow or idle one holds up no other.
std::string AwaitCode(platform::LoopbackListener& listener, const std::string& state, TOAuthHost& host) {
  const std::int64_t end = host.Now() + kBrowserWaitSeconds;
  std::list<Visit> visits;
  for (;;) {
    if (host.Now() >= end) throw EFailure(std::string(kNoBrowserBack));
    const platform::ConnectionHandle connection =
        listener.Accept(visits.empty() ? kAcceptSliceMilliseconds : kVisitSliceMilliseconds);
    host.Pause(0);
    if (connection != platform::kNoConnection) {
      if (visits.size() == kMostVisits) visits.pop_front();
      visits.emplace_back(connection, host.Now() + kRequestWaitSeconds);
    }
    for (auto visit = visits.begin(); visit != visits.end();) {
      const THeadState head = TakeWaiting(*visit);
      if (head == THeadState::kWhole) {
        std::optional<std::string> code = Answered(*visit, state, host);
        if (code) return std::move(*code);
      } else if (head == THeadState::kComing && host.Now() < visit->deadline) {
        ++visit;
        continue;
      }
      visit = visits.erase(visit);
    }
  }
}

/// The tokens of the device flow: the prompt stands while the endpoint is
/// polled at its interval, five seconds more after each slow_down, until
/// the code runs out (kLongestDeviceWait at most); no wait outlasts it.
TTokens DeviceSignIn(TTokenEndpoint& endpoint, const std::string& endpointAddress, TOAuthHost& host) {
  const TDeviceAuthorization start = endpoint.AuthorizeDevice();
  for (const std::string* address : {&start.verificationUri, &start.verificationUriComplete}) {
    if (!address->empty() && !IsWebAddress(*address)) {
      throw EFailure(Filled(kNoWebAddress, {endpointAddress, platform::PrintableText(*address)}));
    }
  }
  const std::int64_t valid = std::min(start.expiresIn, kLongestDeviceWait);
  // The endpoint's texts reach the console and the box: no control
  // character of theirs may break or add a line there.
  host.Prompt(Filled(kDevicePrompt, {platform::PrintableText(start.verificationUri),
                                     platform::PrintableText(start.userCode), std::to_string((valid + 59) / 60)}));
  const PromptCloser closePrompt{host};
  // The short address is the one to type; the browser is spared the typing.
  host.OpenBrowser(start.verificationUriComplete.empty() ? start.verificationUri : start.verificationUriComplete);
  host.OfferCode(start.userCode);
  const std::int64_t end = host.Now() + valid;
  std::int64_t interval = start.interval;
  TTokens tokens;
  for (;;) {
    const std::int64_t left = end - host.Now();
    if (left > 0) host.Pause(static_cast<int>(std::min(interval, left) * 1000));
    if (host.Now() >= end) throw EFailure(Filled(kCodeRanOut, {platform::PrintableText(start.userCode)}));
    const TPollState state = endpoint.PollDevice(start.deviceCode, tokens);
    if (state == TPollState::kIssued) return tokens;
    if (state == TPollState::kSlowDown) interval += 5;
  }
}

/// The tokens of the authorization code flow with a proof key.
TTokens BrowserSignIn(TTokenEndpoint& endpoint, const TTokenFile& file, TOAuthHost& host) {
  const TProofKey key;
  const std::string state = RandomText(kStateBytes);
  std::unique_ptr<platform::LoopbackListener> listener;
  try {
    listener = std::make_unique<platform::LoopbackListener>();
  } catch (const platform::LoopbackError& e) {
    throw EFailure(Filled(kNoListener, {e.what()}));
  }
  const std::string redirect = "http://127.0.0.1:" + std::to_string(listener->Port()) + "/";
  std::vector<TFormField> fields{
      {"response_type", "code"}, {kClientId, file.Text(kClientId)}, {"redirect_uri", redirect}};
  if (!file.Text(kScope).empty()) fields.push_back({kScope, file.Text(kScope)});
  fields.insert(fields.end(), {{"state", state}, {"code_challenge", key.challenge}, {"code_challenge_method", "S256"}});
  const std::string& base = file.Text(kAuthorizationEndpoint);
  const std::string address = base + (base.find('?') == std::string::npos ? "?" : "&") + FormEncoded(fields);
  host.Prompt(Filled(kBrowserPrompt, {address}));
  host.OpenBrowser(address);
  std::string code;
  const TWipeOnExit wipeCode(code);
  {
    const PromptCloser closePrompt{host};
    code = AwaitCode(*listener, state, host);
  }
  return endpoint.RedeemCode(code, key.verifier, redirect);
}

}  // namespace

bool IsWebAddress(std::string_view address) {
  const std::size_t colon = address.find("://");
  if (colon == std::string_view::npos) return false;
  const std::string scheme = AsciiLowered(address.substr(0, colon));
  const std::string_view rest = address.substr(colon + 3);
  // A host must follow: "https:///x" names none.
  if ((scheme != "http" && scheme != "https") || rest.empty() || rest.front() == '/') return false;
  return std::none_of(rest.begin(), rest.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7F;
  });
}

std::string Base64Url(std::string_view bytes) {
  std::string text((bytes.size() + 2) / 3 * 4, '\0');
  const std::size_t length = line_encoding::EncodeGroups(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                         bytes.size(), kBase64UrlAlphabet.data(), false, text.data());
  text.resize(length);
  return text;
}

TProofKey::TProofKey() : verifier(RandomText(kVerifierBytes)) {
  try {
    const platform::Sha256Digest digest = platform::Sha256(verifier);
    challenge = Base64Url(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  } catch (const platform::CryptoError& e) {
    throw EFailure(Filled(kNoProofKey, {e.what()}));
  }
}

TProofKey::~TProofKey() { Wipe(verifier); }

TSignIn::TSignIn(std::string path, TOAuthHost& host, TExchangeSettings settings)
    : path_(std::move(path)), host_(host), settings_(std::move(settings)) {}

void TSignIn::Check() const {
  const TTokenFile file = TTokenFile::Load(path_);
  if (!file.ClientCredentials() && file.Text(kDeviceEndpoint).empty() && file.Text(kAuthorizationEndpoint).empty()) {
    throw ESettingsError(Filled(kNoWayToSignIn, {path_}));
  }
}

std::string TSignIn::Run() {
  Check();
  TTokens tokens;
  bool application = false;
  {
    const TTokenFile file = TTokenFile::Load(path_);
    TTokenEndpoint endpoint(host_, settings_, file);
    application = file.ClientCredentials();
    if (application) {
      tokens = endpoint.ClientCredentials();
    } else if (!file.Text(kDeviceEndpoint).empty()) {
      tokens = DeviceSignIn(endpoint, file.Text(kDeviceEndpoint), host_);
    } else {
      tokens = BrowserSignIn(endpoint, file, host_);
    }
  }
  // The sign-in took its time: the file as it stands now takes the tokens.
  const TTokenFileLock lock(path_, host_, settings_.timeoutMilliseconds);
  TTokenFile file = TTokenFile::Load(path_);
  file.Keep(tokens, host_.Now());
  file.Save();
  if (application) return Filled(kSignedInApp, {path_});
  if (tokens.refreshToken.empty()) throw ESettingsError(Filled(kNoRefreshTokenCame, {path_}));
  return Filled(kSignedIn, {path_});
}

}  // namespace oauth
