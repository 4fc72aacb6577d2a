#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "OAuthHostFake.h"
#include "oauth/OAuthErrors.h"
#include "oauth/TokenEndpoint.h"
#include "test_support/TempDir.h"

namespace {

using Fields = std::map<std::string, std::string>;
using oauth::TTokenEndpoint;
using oauth::TTokenFile;

const std::string kSecrets[] = {"r3fresh", "s3cret", "acc3ss", "dev1ce"};
const std::string kFile =
    R"({"token_endpoint": "https://login.example/token",
        "device_authorization_endpoint": "https://login.example/device", "client_id": "app",
        "client_secret": "s3cret", "scope": "smtp offline_access", "refresh_token": "r3fresh"})";
const std::string kTokens = R"({"access_token": "acc3ss", "token_type": "Bearer", "expires_in": 3599})";

TEST(TokenEndpoint, FormsCarryWhatEachGrantNeeds) {
  TempDir dir;
  const TTokenFile file = TTokenFile::Load(dir.Write("token.json", kFile));
  const Fields client{{"client_id", "app"}, {"client_secret", "s3cret"}};
  const auto with = [&client](Fields fields) {
    fields.insert(client.begin(), client.end());
    return fields;
  };
  const struct {
    const char* name;
    void (*call)(TTokenEndpoint&);
    std::string answer;
    std::string url;
    Fields fields;
  } cases[] = {
      {"refresh", [](TTokenEndpoint& e) { e.Refresh(); }, kTokens, "https://login.example/token",
       with({{"grant_type", "refresh_token"}, {"refresh_token", "r3fresh"}, {"scope", "smtp offline_access"}})},
      {"client credentials", [](TTokenEndpoint& e) { e.ClientCredentials(); }, kTokens, "https://login.example/token",
       with({{"grant_type", "client_credentials"}, {"scope", "smtp offline_access"}})},
      {"authorization code", [](TTokenEndpoint& e) { e.RedeemCode("c0de", "v3rifier", "http://127.0.0.1:5/"); },
       kTokens, "https://login.example/token",
       with({{"grant_type", "authorization_code"}, {"code", "c0de"}, {"code_verifier", "v3rifier"},
             {"redirect_uri", "http://127.0.0.1:5/"}})},
      {"device authorization", [](TTokenEndpoint& e) { e.AuthorizeDevice(); },
       R"({"device_code": "dev1ce", "user_code": "U", "verification_uri": "https://v", "expires_in": 900})",
       "https://login.example/device", with({{"scope", "smtp offline_access"}})},
      {"device poll",
       [](TTokenEndpoint& e) {
         oauth::TTokens tokens;
         e.PollDevice("dev1ce", tokens);
       },
       kTokens, "https://login.example/token",
       with({{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"}, {"device_code", "dev1ce"}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.answers = {{200, c.answer}};
    TTokenEndpoint endpoint(host, {"ca.pem", 7000}, file);
    c.call(endpoint);
    ASSERT_EQ(host.requests.size(), 1u);
    EXPECT_EQ(host.requests[0].url, c.url);
    EXPECT_EQ(host.requests[0].fields, c.fields);
    EXPECT_EQ(host.caFiles[0], "ca.pem");
    EXPECT_THAT(host.traces, testing::ElementsAre("POST " + c.url, "HTTP 200"));
    // Every secret sent or received is known to the program's outlets.
    for (const auto& [name, value] : c.fields) {
      if (name != "grant_type" && name != "client_id" && name != "scope" && name != "redirect_uri") {
        EXPECT_THAT(host.secrets, testing::Contains(value)) << name;
      }
    }
    EXPECT_THAT(host.secrets, testing::Contains(c.name == std::string("device authorization") ? "dev1ce" : "acc3ss"));
  }
}

// Which answers are tokens, which a failure of this run (exit 4), and which
// a setting to change (exit 5); no trace line ever holds a secret.
TEST(TokenEndpoint, AnswersDecideTheOutcome) {
  TempDir dir;
  const TTokenFile file = TTokenFile::Load(dir.Write("token.json", kFile));
  enum Outcome { kTokensIssued, kFailure, kSettings };
  const struct {
    const char* name;
    ScriptedAnswer answer;
    Outcome outcome;
    std::string text;  // of the failure; for tokens the access token
    std::string trace;
    std::optional<std::int64_t> expiresIn = 3599;  // of the tokens
  } cases[] = {
      {"tokens", {200, kTokens}, kTokensIssued, "acc3ss", "HTTP 200"},
      {"expiry as a text", {200, R"({"access_token": "acc3ss", "expires_in": "3599"})"}, kTokensIssued, "acc3ss",
       "HTTP 200"},
      {"an expiry beyond any date", {200, R"({"access_token": "acc3ss", "expires_in": 1e300})"}, kTokensIssued,
       "acc3ss", "HTTP 200", std::nullopt},
      {"refresh token expired", {400, R"({"error": "invalid_grant", "error_description": "AADSTS70008: expired"})"},
       kSettings,
       "The token endpoint refused the sign-in kept in %s: invalid_grant \"AADSTS70008: expired\". Sign in again "
       "with /OAUTHSETUP:%s (and check client_id and client_secret).",
       "HTTP 400 invalid_grant"},
      {"client refused", {401, R"({"error": "invalid_client"})"}, kSettings,
       "The token endpoint refused the sign-in kept in %s: invalid_client. Sign in again with /OAUTHSETUP:%s (and "
       "check client_id and client_secret).",
       "HTTP 401 invalid_client"},
      {"scope refused", {400, R"({"error": "invalid_scope"})"}, kSettings,
       "The token endpoint https://login.example/token refused the request: invalid_scope. Check the token file %s.",
       "HTTP 400 invalid_scope"},
      {"server error", {503, "<html>busy</html>"}, kFailure,
       "The token endpoint https://login.example/token answered HTTP 503; try again later.", "HTTP 503"},
      {"too many requests", {429, R"({"error": "slow"})"}, kFailure,
       "The token endpoint https://login.example/token answered HTTP 429 (slow); try again later.", "HTTP 429 slow"},
      {"temporarily unavailable", {400, R"({"error": "temporarily_unavailable"})"}, kFailure,
       "The token endpoint https://login.example/token answered HTTP 400 (temporarily_unavailable); try again later.",
       "HTTP 400 temporarily_unavailable"},
      {"a page, not JSON", {404, "<html>not here</html>"}, kFailure,
       "The token endpoint https://login.example/token answered HTTP 404.", "HTTP 404"},
      {"no access token", {200, R"({"token_type": "Bearer"})"}, kFailure,
       "The token endpoint https://login.example/token gave an answer without an access_token.", "HTTP 200"},
      {"no bearer token", {200, R"({"access_token": "acc3ss", "token_type": "mac"})"}, kSettings,
       "The token endpoint issued a token of type \"mac\"; SMTP takes Bearer tokens only.", "HTTP 200"},
      {"a line end in the access token", {200, R"({"access_token": "acc3ss\r\nQUIT", "token_type": "Bearer"})"},
       kFailure,
       "The token endpoint https://login.example/token issued an access token with characters that no bearer token "
       "holds (RFC 6750, 2.1).",
       "HTTP 200"},
      {"another login inside the access token",
       {200, R"({"access_token": "acc3ss\u0001user=evil@example.com\u0001", "token_type": "Bearer"})"}, kFailure,
       "The token endpoint https://login.example/token issued an access token with characters that no bearer token "
       "holds (RFC 6750, 2.1).",
       "HTTP 200"},
      {"padding inside the access token", {200, R"({"access_token": "acc3ss=x"})"}, kFailure,
       "The token endpoint https://login.example/token issued an access token with characters that no bearer token "
       "holds (RFC 6750, 2.1).",
       "HTTP 200"},
      {"a bearer token's every character", {200, R"({"access_token": "aZ09-._~+/acc3ss=="})"}, kTokensIssued,
       "aZ09-._~+/acc3ss==", "HTTP 200", std::nullopt},
      {"an answer nested to overflow the stack", {200, std::string(90000, '[') + std::string(90000, ']')}, kFailure,
       "The token endpoint https://login.example/token gave an answer nested deeper than 64 levels.",
       "POST https://login.example/token"},
      {"no answer", {0, "", "no answer within 7 s"}, kFailure,
       "The exchange with the token endpoint https://login.example/token failed: no answer within 7 s.", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.answers = {c.answer};
    TTokenEndpoint endpoint(host, {}, file);
    std::string outcome;
    try {
      const oauth::TTokens tokens = endpoint.Refresh();
      EXPECT_EQ(c.outcome, kTokensIssued);
      EXPECT_EQ(tokens.expiresIn, c.expiresIn);
      outcome = tokens.accessToken;
    } catch (const oauth::EFailure& e) {
      EXPECT_EQ(c.outcome, kFailure);
      outcome = e.Message();
    } catch (const oauth::ESettingsError& e) {
      EXPECT_EQ(c.outcome, kSettings);
      outcome = e.Message();
    }
    EXPECT_EQ(outcome, FillPlaceholder(FillPlaceholder(c.text, file.Path()), file.Path()));
    EXPECT_EQ(host.traces.back(), c.trace.empty() ? "POST https://login.example/token" : c.trace);
    for (const std::string& line : host.traces) {
      for (const std::string& secret : kSecrets) EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
  }
}

TEST(TokenEndpoint, DevicePollsTellPendingSlowDownAndTheEnd) {
  TempDir dir;
  const TTokenFile file = TTokenFile::Load(dir.Write("token.json", kFile));
  const struct {
    const char* name;
    std::string answer;
    oauth::TPollState state;
    std::string failure;
  } cases[] = {
      {"pending", R"({"error": "authorization_pending"})", oauth::TPollState::kPending, ""},
      {"slow down", R"({"error": "slow_down"})", oauth::TPollState::kSlowDown, ""},
      {"declined", R"({"error": "access_denied", "error_description": "the user said no"})", {},
       "The sign-in was declined: access_denied \"the user said no\""},
      {"expired", R"({"error": "expired_token"})", {}, "The code expired before the sign-in was done: expired_token"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    host.answers = {{400, c.answer}};
    TTokenEndpoint endpoint(host, {}, file);
    oauth::TTokens tokens;
    try {
      EXPECT_EQ(endpoint.PollDevice("dev1ce", tokens), c.state);
      EXPECT_TRUE(c.failure.empty());
    } catch (const oauth::EFailure& e) {
      EXPECT_EQ(e.Message(), c.failure);
    }
  }
}

TEST(FormEncoding, EncodesAllButUnreservedAndDecodesBack) {
  const struct {
    std::string value;
    std::string encoded;
  } cases[] = {
      {"azAZ09-._~", "azAZ09-._~"},
      {"a b&c=d+e/f?g%", "a%20b%26c%3Dd%2Be%2Ff%3Fg%25"},
      {"\xC3\xA4\x01", "%C3%A4%01"},
      {"", ""},
  };
  for (const auto& c : cases) {
    const oauth::TFormField field[] = {{"k", c.value}};
    EXPECT_EQ(oauth::FormEncoded(field), "k=" + c.encoded);
    EXPECT_EQ(oauth::PercentDecoded(c.encoded), c.value);
  }
  EXPECT_EQ(oauth::PercentDecoded("a+b%2"), "a b%2");  // a broken escape stays as it is
}

}  // namespace
