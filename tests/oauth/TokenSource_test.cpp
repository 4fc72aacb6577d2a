#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "OAuthHostFake.h"
#include "TokenFileText.h"
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
    const std::string after = TokenFileText(path);
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

/// Puts a file of its own in the place of path, as another process could.
void SwapFile(const std::string& path) {
  const std::string other = path + ".other";
  std::ofstream(other, std::ios::binary) << "{}";
  std::filesystem::rename(other, path);
}

// Failures leave the file as it was, but a new refresh token may be the
// only one that works: kept whenever it came, and its loss told as a
// sign-in to make again.
TEST(TokenSource, FailuresLeaveTheFileAsItWasButANewRefreshToken) {
  const std::int64_t now = FakeHost().start;
  const std::string lost =
      "The token endpoint replaced the refresh token, but the token file %s cannot be written: another file has "
      "taken its place since it was read. The sign-in is lost: sign in again with /OAUTHSETUP:%s.";
  const struct {
    const char* name;
    std::string file;
    ScriptedAnswer answer;
    bool swapped;             // another file takes the token file's place during the exchange
    std::string error;        // %s: the file
    bool settings;            // else a failure of this run
    std::string refreshKept;  // in the file afterwards; empty: the file as it was
  } cases[] = {
      {"no refresh token yet", TokenFile(now - 1, ""), {}, false,
       "The token file %s holds no refresh token yet: sign in first with /OAUTHSETUP:%s.", true, ""},
      {"refresh token revoked", TokenFile(now - 1), {400, R"({"error": "invalid_grant"})"}, false,
       "The token endpoint refused the sign-in kept in %s: invalid_grant. Sign in again with /OAUTHSETUP:%s (and "
       "check client_id and client_secret).",
       true, ""},
      {"endpoint down", TokenFile(now - 1), {0, "", "no connection could be made"}, false,
       "The exchange with the token endpoint https://e/token failed: no connection could be made.", false, ""},
      {"rotated, the file swapped", TokenFile(now - 1), {200, kFresh}, true, lost, true, ""},
      {"not rotated, the file swapped",
       TokenFile(now - 1),
       {200, R"({"access_token": "fresh", "refresh_token": "r1"})"},
       true,
       "The token file %s cannot be written: another file has taken its place since it was read.",
       false,
       ""},
      {"app-only, the file swapped",
       TokenFile(now - 1, R"(, "grant_type": "client_credentials", "client_secret": "s")"),
       {200, R"({"access_token": "fresh"})"},
       true,
       "The token file %s cannot be written: another file has taken its place since it was read.",
       false,
       ""},
      {"rotated, the token's type refused",
       TokenFile(now - 1),
       {200, R"({"access_token": "fresh", "token_type": "mac", "refresh_token": "r2"})"},
       false,
       "The token endpoint issued a token of type \"mac\"; SMTP takes Bearer tokens only.",
       true,
       "r2"},
      {"rotated, no access token",
       TokenFile(now - 1),
       {200, R"({"refresh_token": "r2"})"},
       false,
       "The token endpoint https://e/token gave an answer without an access_token.",
       false,
       "r2"},
      {"rotated, the token's type refused, the file swapped",
       TokenFile(now - 1),
       {200, R"({"access_token": "fresh", "token_type": "mac", "refresh_token": "r2"})"},
       true,
       lost,
       true,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("token.json", c.file);
    FakeHost host;
    host.answers = {c.answer};
    if (c.swapped) host.onPost = [&path] { SwapFile(path); };
    TTokenSource source(path, host, {});
    try {
      source.AccessToken();
      ADD_FAILURE() << "no failure";
    } catch (const oauth::ESettingsError& e) {
      EXPECT_TRUE(c.settings);
      EXPECT_EQ(e.Message(), FillPlaceholder(FillPlaceholder(c.error, path), path));
    } catch (const oauth::EFailure& e) {
      EXPECT_FALSE(c.settings);
      EXPECT_EQ(e.Message(), FillPlaceholder(FillPlaceholder(c.error, path), path));
    }
    const std::string after = TokenFileText(path);
    if (c.swapped) {
      EXPECT_EQ(after, "{}") << "the file put in its place stays as it is";
    } else if (c.refreshKept.empty()) {
      EXPECT_EQ(after, c.file);
    } else {
      EXPECT_THAT(after, testing::HasSubstr(R"("refresh_token": ")" + c.refreshKept + "\""));
      EXPECT_THAT(after, testing::Not(testing::HasSubstr("access_token"))) << "no token kept that was refused";
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("")), {}), 2) << "the file and its lock";
  }
}

// A second run waits for the first's lock; the wait has a bound of twice
// the exchange's.
TEST(TokenSource, WaitsForTheLockOfAnotherRun) {
  const std::int64_t now = FakeHost().start;
  TempDir dir;
  const std::string path = dir.Write("token.json", TokenFile(now - 1));
  platform::LockState state = platform::LockState::kCannotMake;
  platform::FileHandle other = platform::TryLockFile(path + ".lock", state);
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
