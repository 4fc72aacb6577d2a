#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "OAuthHostFake.h"
#include "oauth/OAuthErrors.h"
#include "oauth/TokenSource.h"
#include "platform/File.h"
#include "test_support/TempDir.h"

namespace {

using oauth::TTokenSource;

/// A token file whose access token is "kept" and ends at expiresAt.
std::string TokenFile(std::int64_t expiresAt, const std::string& extra = R"(, "refresh_token": "r1")") {
  return R"({"token_endpoint": "https://e/token", "client_id": "c", "access_token": "kept", "expires_at": )" +
         std::to_string(expiresAt) + extra + "}";
}

const std::string kFresh = R"({"access_token": "fresh", "expires_in": 3600, "refresh_token": "r2"})";

TEST(TokenSource, KeptTokenWhileMoreThanFiveMinutesLeftElseAFreshOneWrittenFirst) {
  const std::int64_t now = FakeHost().start;
  const struct {
    const char* name;
    std::string file;
    std::string token;
    std::vector<std::string> grants;  // the grant_type of each request
    bool written;
  } cases[] = {
      {"an hour left", TokenFile(now + 3600), "kept", {}, false},
      {"five minutes and a second left", TokenFile(now + 301), "kept", {}, false},
      {"five minutes left", TokenFile(now + 300), "fresh", {"refresh_token"}, true},
      {"expired", TokenFile(now - 10), "fresh", {"refresh_token"}, true},
      {"an expiry no clock reaches", R"({"token_endpoint": "https://e/token", "client_id": "c", "access_token": "kept",
                                         "expires_at": 1e300, "refresh_token": "r1"})",
       "fresh", {"refresh_token"}, true},
      {"no expiry kept", R"({"token_endpoint": "https://e/token", "client_id": "c", "access_token": "kept",
                             "refresh_token": "r1"})",
       "fresh", {"refresh_token"}, true},
      {"app-only sign-in", TokenFile(now - 10, R"(, "grant_type": "client_credentials", "client_secret": "s")"),
       "fresh", {"client_credentials"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("token.json", c.file);
    FakeHost host;
    host.answers = {{200, kFresh}};
    TTokenSource source(path, host, {});
    EXPECT_EQ(source.AccessToken(), c.token);
    std::vector<std::string> grants;
    for (const FakeHost::Request& request : host.requests) grants.push_back(request.fields.at("grant_type"));
    EXPECT_EQ(grants, c.grants);
    const std::string after = TempDir::Read(path);
    EXPECT_EQ(after == c.file, !c.written);
    if (c.written) {
      EXPECT_THAT(after, testing::HasSubstr(R"("access_token": "fresh")"));
      EXPECT_THAT(after, testing::HasSubstr(R"("expires_at": )" + std::to_string(now + 3600)));
      EXPECT_THAT(after, testing::HasSubstr(R"("refresh_token": "r2")"));
    }
  }
}

TEST(TokenSource, RefusedTokenGivesWayToAnotherRunsOrAFreshOne) {
  const std::int64_t now = FakeHost().start;
  const struct {
    const char* name;
    std::string refused;
    std::string token;
    size_t requests;
  } cases[] = {
      {"another run kept a newer one meanwhile", "older", "kept", 0},
      {"the kept one was refused", "kept", "fresh", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    FakeHost host;
    host.answers = {{200, kFresh}};
    TTokenSource source(dir.Write("token.json", TokenFile(now + 3600)), host, {});
    EXPECT_EQ(source.FreshAccessToken(c.refused), c.token);
    EXPECT_EQ(host.requests.size(), c.requests);
  }
}

TEST(TokenSource, FailuresLeaveTheFileAsItWas) {
  const std::int64_t now = FakeHost().start;
  const struct {
    const char* name;
    std::string file;
    ScriptedAnswer answer;
    bool settings;  // else a failure of this run
  } cases[] = {
      {"no refresh token yet", TokenFile(now - 1, ""), {}, true},
      {"refresh token revoked", TokenFile(now - 1), {400, R"({"error": "invalid_grant"})"}, true},
      {"endpoint down", TokenFile(now - 1), {0, "", "no connection could be made"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("token.json", c.file);
    FakeHost host;
    host.answers = {c.answer};
    TTokenSource source(path, host, {});
    if (c.settings) {
      EXPECT_THROW(source.AccessToken(), oauth::ESettingsError);
    } else {
      EXPECT_THROW(source.AccessToken(), oauth::EFailure);
    }
    EXPECT_EQ(TempDir::Read(path), c.file);
  }
}

// A second run waits for the first's lock; the wait has a bound of twice
// the exchange's.
TEST(TokenSource, WaitsForTheLockOfAnotherRun) {
  const std::int64_t now = FakeHost().start;
  TempDir dir;
  const std::string path = dir.Write("token.json", TokenFile(now - 1));
  bool heldElsewhere = false;
  platform::FileHandle other = platform::TryLockFile(path + ".lock", heldElsewhere);
  ASSERT_NE(other, platform::kInvalidFile);

  FakeHost host;
  TTokenSource bounded(path, host, {"", 100});
  try {
    bounded.AccessToken();
    ADD_FAILURE() << "no wait";
  } catch (const oauth::EFailure& e) {
    EXPECT_EQ(e.Message(), "The token file " + path + " stayed locked by another run for 0 s.");
  }
  EXPECT_TRUE(host.requests.empty());
  EXPECT_GE(host.pauses, 200 / 20);

  // The other run writes a fresh token and lets go while this one waits.
  host.answers = {{200, kFresh}};
  host.onPause = [&] {
    if (other == platform::kInvalidFile) return;
    std::ofstream(path, std::ios::binary) << TokenFile(now + 3600);
    platform::CloseFile(other);
    other = platform::kInvalidFile;
  };
  TTokenSource waiting(path, host, {});
  EXPECT_EQ(waiting.AccessToken(), "kept");
  EXPECT_TRUE(host.requests.empty()) << "the refresh token is spent once";
}

}  // namespace
