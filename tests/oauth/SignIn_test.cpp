#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "OAuthHostFake.h"
#include "TokenFileText.h"
#include "oauth/OAuthErrors.h"
#include "oauth/SignIn.h"
#include "platform/Crypto.h"
#include "support/WireShim.h"
#include "test_support/TempDir.h"

namespace {

namespace wire = testserver::wire;
using oauth::TSignIn;
using testing::HasSubstr;

const std::string kTokens = R"({"access_token": "a1", "expires_in": 3600, "refresh_token": "r1"})";
const std::string kDeviceFile =
    R"({"token_endpoint": "https://e/token", "device_authorization_endpoint": "https://e/device", "client_id": "c"})";
const std::string kBrowserFile =
    R"({"token_endpoint": "https://e/token", "authorization_endpoint": "https://e/auth?access_type=offline",
        "client_id": "c", "client_secret": "s", "scope": "mail"})";

/// The value of field in the query of address.
std::string QueryValue(const std::string& address, const std::string& field) {
  const size_t start = address.find("&" + field + "=") + field.size() + 2;
  return oauth::PercentDecoded(address.substr(start, address.find('&', start) - start));
}

TEST(SignIn, DeviceFlowPollsAtTheIntervalUntilTheTokensCome) {
  TempDir dir;
  const std::string path = dir.Write("token.json", kDeviceFile);
  FakeHost host;
  const std::string pending = R"({"error": "authorization_pending"})";
  host.answers = {{200, R"({"device_code": "d", "user_code": "ABCD-EFGH", "verification_uri": "https://v/device",
                            "expires_in": 900, "interval": 2})"},
                  {400, pending},
                  {400, R"({"error": "slow_down"})"},
                  {400, pending},
                  {200, kTokens}};
  TSignIn signIn(path, host, {});
  EXPECT_EQ(signIn.Run(), "Signed in: the token file " + path + " now holds a refresh token.");
  std::vector<std::int64_t> polls;
  for (const FakeHost::Request& request : host.requests) polls.push_back(request.at - host.start);
  EXPECT_THAT(polls, testing::ElementsAre(0, 2, 4, 11, 18));  // five seconds more after slow_down
  EXPECT_THAT(host.prompts, testing::ElementsAre("To sign in, open this address in a browser:\rhttps://v/device\rand "
                                                 "enter this code:\rABCD-EFGH\r(valid for 15 minutes). mailshot waits "
                                                 "until the sign-in is done."));
  EXPECT_THAT(host.opened, testing::ElementsAre("https://v/device"));
  EXPECT_THAT(host.offeredCodes, testing::ElementsAre("ABCD-EFGH"));
  EXPECT_EQ(host.closedPrompts, 1);
  EXPECT_THAT(TokenFileText(path), HasSubstr(R"("refresh_token": "r1")"));
}

// However long the endpoint says to wait, the wait ends with the code (or
// half an hour), and its texts cannot add a line to the prompt. The browser
// gets the address with the code in it where the endpoint gives one.
TEST(SignIn, DeviceWaitEndsWithTheCode) {
  const struct {
    const char* name;
    std::string start;  // the device authorization's answer
    std::string prompt;
    std::int64_t waited;  // seconds until the code ran out
    std::string opened = "https://v";
  } cases[] = {
      {"an interval beyond the code's life",
       R"({"device_code": "d", "user_code": "U", "verification_uri": "https://v", "expires_in": 5, "interval": 3600})",
       "To sign in, open this address in a browser:\rhttps://v\rand enter this code:\rU\r(valid for 1 minutes).", 5},
      {"a code valid for years",
       R"({"device_code": "d", "user_code": "U", "verification_uri": "https://v", "expires_in": 100000000,
           "interval": 600})",
       "To sign in, open this address in a browser:\rhttps://v\rand enter this code:\rU\r(valid for 30 minutes).",
       1800},
      {"line ends in the endpoint's code",
       R"({"device_code": "d", "user_code": "U\r\nX", "verification_uri": "https://v", "expires_in": 5,
           "interval": 5})",
       "To sign in, open this address in a browser:\rhttps://v\rand enter this code:\rU\\x0D\\x0AX\r", 5},
      {"the address with the code in it opened",
       R"({"device_code": "d", "user_code": "U", "verification_uri": "HTTPS://v",
           "verification_uri_complete": "http://v/?code=U", "expires_in": 5, "interval": 5})",
       "To sign in, open this address in a browser:\rHTTPS://v\r", 5, "http://v/?code=U"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FakeHost host;
    host.answers = {{200, c.start}};
    for (int i = 0; i < 10; ++i) host.answers.push_back({400, R"({"error": "authorization_pending"})"});
    EXPECT_THROW(TSignIn(dir.Write("token.json", kDeviceFile), host, {}).Run(), oauth::EFailure);
    EXPECT_EQ(host.Now() - host.start, c.waited);
    ASSERT_EQ(host.prompts.size(), 1u);
    EXPECT_THAT(host.prompts[0], testing::StartsWith(c.prompt));
    EXPECT_THAT(host.opened, testing::ElementsAre(c.opened));
  }
}

TEST(SignIn, FailuresLeaveTheFileAsItWas) {
  // A device authorization's answer with the addresses given.
  auto deviceStart = [](const std::string& addresses) {
    return R"({"device_code": "d", "user_code": "U", "expires_in": 6, )" + addresses + "}";
  };
  auto noWebAddress = [](const std::string& address) {
    return "The device authorization endpoint https://e/device gave an address to sign in at that is no http or "
           "https address, which mailshot does not open: " + address;
  };
  const struct {
    const char* name;
    std::string file;
    std::deque<ScriptedAnswer> answers;
    std::string error;  // %s: the file
    bool settings;
    bool prompted = false;  // the address was shown and opened
  } cases[] = {
      {"device code runs out",
       kDeviceFile,
       {{200, R"({"device_code": "d", "user_code": "U", "verification_uri": "https://v", "expires_in": 6,
                 "interval": 5})"},
        {400, R"({"error": "authorization_pending"})"}},
       "The code U expired before the sign-in was done.",
       false,
       true},
      {"an address that would open a file", kDeviceFile,
       {{200, deviceStart(R"("verification_uri": "file:///C:/x.exe")")}}, noWebAddress("file:///C:/x.exe"), false},
      {"an address with the code that names no host", kDeviceFile,
       {{200, deviceStart(R"("verification_uri": "https://v", "verification_uri_complete": "https:///x")")}},
       noWebAddress("https:///x"), false},
      {"an address with a line end", kDeviceFile,
       {{200, deviceStart(R"("verification_uri": "https://v\r\nOpen https://evil")")}},
       noWebAddress("https://v\\x0D\\x0AOpen https://evil"), false},
      {"no way to sign in",
       R"({"token_endpoint": "https://e/token", "client_id": "c"})",
       {},
       "The token file %s names neither \"device_authorization_endpoint\" nor \"authorization_endpoint\": there is "
       "no sign-in to make (only \"grant_type\": \"client_credentials\" needs none).",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("token.json", c.file);
    FakeHost host;
    host.answers = c.answers;
    TSignIn signIn(path, host, {});
    try {
      signIn.Run();
      ADD_FAILURE() << "signed in";
    } catch (const oauth::ESettingsError& e) {
      EXPECT_TRUE(c.settings);
      EXPECT_EQ(e.Message(), FillPlaceholder(c.error, path));
    } catch (const oauth::EFailure& e) {
      EXPECT_FALSE(c.settings);
      EXPECT_EQ(e.Message(), FillPlaceholder(c.error, path));
    }
    EXPECT_EQ(TempDir::Read(path), c.file);
    EXPECT_EQ(host.prompts.size(), c.prompted ? 1u : 0u);
    EXPECT_EQ(host.opened.size(), c.prompted ? 1u : 0u);
  }
}

TEST(SignIn, OutcomeSaysWhatTheFileNowHolds) {
  const struct {
    const char* name;
    std::string file;
    std::string answer;
    std::string outcome;  // %s: the file
  } cases[] = {
      {"app-only sign-in",
       R"({"token_endpoint": "https://e/token", "client_id": "c", "grant_type": "client_credentials",
           "client_secret": "s"})",
       R"({"access_token": "a1", "expires_in": 3600})",
       "Signed in: the token file %s now holds an access token for the application; later runs renew it "
       "themselves."},
      {"no refresh token came", kDeviceFile, R"({"access_token": "a1", "expires_in": 3600})",
       "The sign-in gave no refresh token, so later runs could not renew the access token kept in %s: add "
       "offline_access to \"scope\" (Microsoft) or access_type=offline&prompt=consent to \"authorization_endpoint\" "
       "(Google), then sign in again."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("token.json", c.file);
    FakeHost host;
    host.answers = {{200, R"({"device_code": "d", "user_code": "U", "verification_uri": "https://v",
                              "expires_in": 60})"},
                    {200, c.answer}};
    if (c.file != kDeviceFile) host.answers.pop_front();
    std::string outcome;
    try {
      outcome = TSignIn(path, host, {}).Run();
    } catch (const oauth::ESettingsError& e) {
      outcome = e.Message();
    }
    EXPECT_EQ(outcome, FillPlaceholder(c.outcome, path));
    EXPECT_THAT(TokenFileText(path), HasSubstr(R"("access_token": "a1")"));
  }
}

TEST(SignIn, ProofKeyChallengeIsTheVerifiersDigestInBase64Url) {
  // Worked out apart from the program (Python's hashlib and base64).
  const platform::Sha256Digest digest = platform::Sha256("dBjftJeZ4CVP-mJ92K1uGbFkRUaJ8k9Gaq5Ovl3ZqK0");
  EXPECT_EQ(oauth::Base64Url({reinterpret_cast<const char*>(digest.data()), digest.size()}),
            "jPuCMI8QtrqsmfXUuKcGV_W7hYn7H1Iw73kEPNnRkuQ");
  const oauth::TProofKey key;
  EXPECT_EQ(key.verifier.size(), 43u);
  EXPECT_EQ(key.verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
  EXPECT_NE(key.verifier, oauth::TProofKey().verifier);
}

// The test is the browser: it comes back to the listener with the code,
// after a request for another path and a return from another sign-in.
TEST(SignIn, BrowserReturnsTheCodeToTheListener) {
  struct Return {
    const char* name;
    std::string target;        // %s: the state of the sign-in
    std::string status;        // of the listener's answer; empty: none, closed when the sign-in ends
    const char* raw = nullptr;  // sent instead of a request for target
  };
  const struct {
    const char* name;
    std::vector<Return> returns;
    std::string error;  // empty: signed in
  } cases[] = {
      {"signed in",
       {{"another path", "/favicon.ico", "404"},
        {"another sign-in's return", "/?code=x&state=other", "400"},
        {"this sign-in's return", "/?code=c0de%2F1&state=%s", "200"}},
       ""},
      // Served one after the other, each of these would hold the return off.
      {"idle and slow connections before the return",
       {{"idle", "", "", ""},
        {"idle", "", "", ""},
        {"one byte of a request", "", "", "G"},
        {"half a request", "", "", "GET /?code=x HTTP/1.1\r\n"},
        {"this sign-in's return", "/?code=c0de%2F1&state=%s", "200"}},
       ""},
      {"declined",
       {{"refusal", "/?error=access_denied&error_description=no+thanks&state=%s", "200"}},
       "The sign-in was declined: access_denied \"no thanks\""},
  };
  wire::Startup();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("token.json", kBrowserFile);
    FakeHost host;
    host.answers = {{200, kTokens}};
    std::vector<wire::Socket> browsers;
    std::string address;
    host.onBrowser = [&](const std::string& opened) {
      address = opened;
      const std::string redirect = QueryValue(opened, "redirect_uri");
      const auto port = static_cast<std::uint16_t>(std::stoi(redirect.substr(redirect.rfind(':') + 1)));
      for (const Return& r : c.returns) {
        const std::string request =
            r.raw != nullptr ? r.raw
                             : "GET " + FillPlaceholder(r.target, QueryValue(opened, "state")) +
                                   " HTTP/1.1\r\nHost: x\r\n\r\n";
        browsers.push_back(wire::ConnectLoopback(port));
        wire::Send(browsers.back(), request.data(), static_cast<int>(request.size()));
      }
    };
    std::string error;
    try {
      TSignIn(path, host, {}).Run();
    } catch (const oauth::EFailure& e) {
      error = e.Message();
    }
    EXPECT_EQ(error, c.error);
    EXPECT_THAT(host.prompts, testing::ElementsAre("To sign in, open this address in a browser on this machine:\r" +
                                                   address));
    EXPECT_EQ(host.closedPrompts, 1);
    EXPECT_THAT(address, testing::StartsWith("https://e/auth?access_type=offline&response_type=code&client_id=c&"
                                             "redirect_uri=http%3A%2F%2F127.0.0.1%3A"));
    EXPECT_EQ(QueryValue(address, "scope"), "mail");
    EXPECT_EQ(QueryValue(address, "code_challenge_method"), "S256");
    ASSERT_EQ(browsers.size(), c.returns.size());
    for (size_t i = 0; i < browsers.size(); ++i) {
      char answer[16] = "";
      wire::WaitReadable(browsers[i], 5000);
      wire::Receive(browsers[i], answer, 12);
      const std::string status = std::string(answer).substr(std::min<std::size_t>(9, std::strlen(answer)), 3);
      EXPECT_EQ(status, c.returns[i].status) << c.returns[i].name;
      wire::Close(browsers[i]);
    }
    if (!c.error.empty()) {
      EXPECT_TRUE(host.requests.empty());
      EXPECT_EQ(TempDir::Read(path), kBrowserFile);
      continue;
    }
    ASSERT_EQ(host.requests.size(), 1u);
    const auto& fields = host.requests[0].fields;
    EXPECT_EQ(fields.at("code"), "c0de/1");
    EXPECT_EQ(fields.at("redirect_uri"), QueryValue(address, "redirect_uri"));
    const platform::Sha256Digest digest = platform::Sha256(fields.at("code_verifier"));
    EXPECT_EQ(QueryValue(address, "code_challenge"),
              oauth::Base64Url({reinterpret_cast<const char*>(digest.data()), digest.size()}));
    EXPECT_THAT(TokenFileText(path), HasSubstr(R"("refresh_token": "r1")"));
  }
  wire::Cleanup();
}

}  // namespace
