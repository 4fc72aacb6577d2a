// The token file among other users on POSIX: a folder anyone may write to,
// a folder its user cannot write to, and two names of one file.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "OAuthHostFake.h"
#include "TokenFileText.h"
#include "oauth/OAuthErrors.h"
#include "oauth/TokenSource.h"
#include "platform/File.h"
#include "test_support/OtherUser.h"
#include "test_support/TempDir.h"

namespace {

using oauth::TTokenSource;

const std::string kExpired =
    R"({"token_endpoint": "https://e/token", "client_id": "c", "access_token": "old", "expires_at": 0,
        "refresh_token": "r1"})";
const std::string kFresh = R"({"access_token": "fresh", "expires_in": 3600, "refresh_token": "r2"})";

TEST(TokenSourcePosix, AFolderEveryUserMayWriteToIsRefused) {
  TempDir dir;
  const std::string path = dir.Write("token.json", kExpired);
  ::chmod(dir.Path("").c_str(), 0777);
  FakeHost host;
  try {
    TTokenSource(path, host, {}).Check();
    ADD_FAILURE() << "taken";
  } catch (const oauth::ESettingsError& e) {
    EXPECT_EQ(e.Message(), "The token file " + path +
                               " lies in a folder that every user may write to (without the sticky bit), where "
                               "anyone could put a file of their own in its place: move " +
                               path + " to a folder of your own.");
  }
}

// The user's run in a folder they cannot write to (their token file in
// root's folder): the refresh token is not spent on tokens that could not
// be kept.
TEST(TokenSourcePosix, NoExchangeWhenTheFileCannotBeWritten) {
  if (!OtherUserAvailable()) GTEST_SKIP() << "needs root, to run a step as another user";
  const UsualUmask usualUmask;
  TempDir dir;
  const std::string path = dir.Write("token.json", kExpired);
  ASSERT_EQ(::chown(path.c_str(), OtherUser()->pw_uid, OtherUser()->pw_gid), 0);
  const int outcome = AsOtherUser([&path] {
    FakeHost host;
    host.answers = {{200, kFresh}};
    try {
      TTokenSource(path, host, {}).AccessToken();
      return 1;
    } catch (const oauth::EFailure& e) {
      const bool told = e.Message().starts_with("The token file " + path + " cannot be written: ");
      return !told ? 2 : host.requests.empty() ? 0 : 3;
    }
  });
  EXPECT_EQ(outcome, 0) << "1: no failure, 2: another failure, 3: the refresh token spent";
  EXPECT_EQ(TempDir::Read(path), kExpired);
}

TEST(TokenSourcePosix, ALinkAndItsFileShareOneLock) {
  TempDir dir;
  const std::string real = dir.Write("real.json", kExpired);
  const std::string link = dir.Path("token.json");
  std::filesystem::create_symlink(real, link);
  platform::LockState state = platform::LockState::kCannotMake;
  const platform::FileHandle other = platform::TryLockFile(real + ".lock", state);
  ASSERT_EQ(state, platform::LockState::kTaken);
  FakeHost host;
  host.answers = {{200, kFresh}};
  EXPECT_THROW(TTokenSource(link, host, {"", 50}).AccessToken(), oauth::EUnavailable);
  EXPECT_TRUE(host.requests.empty());
  platform::CloseFile(other);
  EXPECT_EQ(TTokenSource(link, host, {}).AccessToken(), "fresh");
  EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the file it names is written, the link stays";
  EXPECT_THAT(TokenFileText(real), testing::HasSubstr(R"("refresh_token": "r2")"));
}

}  // namespace
