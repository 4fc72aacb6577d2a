// A file replaced whole and the lock that runs take in turn.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/File.h"
#include "test_support/TempDir.h"

namespace {

/// The identity of the file at path as it reads it.
platform::FileIdentity IdentityOf(const std::string& path) {
  platform::FileIdentity identity;
  const platform::FileHandle file = platform::OpenFileForReadNoFollow(path, identity);
  EXPECT_NE(file, platform::kInvalidFile) << path;
  platform::CloseFile(file);
  return identity;
}

std::size_t EntriesIn(const TempDir& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir.Path("")), {}));
}

// The new file is made with room first, then written and renamed over the
// one read, unless another file has taken its place meanwhile.
TEST(Files, ReplacedWholeOrNotAtAll) {
  const struct {
    const char* name;
    void (*meanwhile)(const TempDir& dir);  // after the new file is made
    bool replaced;
  } cases[] = {
      {"the file read", [](const TempDir&) {}, true},
      {"another file in its place",
       [](const TempDir& dir) {
         std::filesystem::rename(dir.Write("other.json", "{\"other\": 1}"), dir.Path("token.json"));
       },
       false},
      {"a folder in its place",
       [](const TempDir& dir) {
         std::filesystem::remove(dir.Path("token.json"));
         std::filesystem::create_directory(dir.Path("token.json"));
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.Write("token.json", "{\"old\": 1}");
    const platform::FileIdentity identity = IdentityOf(path);
    platform::FileReplacement replacement;
    ASSERT_EQ(replacement.Prepare(platform::ResolvedPath(path), 1 << 16), "");
    EXPECT_EQ(EntriesIn(dir), 2u) << "the new file stands beside the old";
    c.meanwhile(dir);
    const std::string before = TempDir::Read(path);
    EXPECT_EQ(replacement.Commit("new", identity) == "", c.replaced);
    EXPECT_EQ(TempDir::Read(path), c.replaced ? "new" : before);
    EXPECT_EQ(EntriesIn(dir), 1u) << "no other file left";
  }
}

TEST(Files, StrayNewFilesOfAKilledRunGo) {
  TempDir dir;
  const std::string path = platform::ResolvedPath(dir.Write("token.json", "{}"));
  const std::string stray = dir.Write("token.json.mailshot-Ab12Cd", "{\"refresh_token\": \"r\"}");
  const std::string kept = dir.Write("token.json.mailshot-copy", "mine");  // no name the program makes
  platform::RemoveStrayReplacements(path);
  EXPECT_FALSE(std::filesystem::exists(stray));
  EXPECT_TRUE(std::filesystem::exists(kept));
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(Files, OneLockHolderAtATime) {
  TempDir dir;
  const std::string path = dir.Path("token.json.lock");
  platform::LockState state = platform::LockState::kCannotOpen;
  const platform::FileHandle first = platform::TryLockFile(path, state);
  ASSERT_NE(first, platform::kInvalidFile);
  EXPECT_EQ(state, platform::LockState::kTaken);
  EXPECT_EQ(platform::TryLockFile(path, state), platform::kInvalidFile);
  EXPECT_EQ(state, platform::LockState::kHeldElsewhere);
  platform::CloseFile(first);
  const platform::FileHandle second = platform::TryLockFile(path, state);
  EXPECT_NE(second, platform::kInvalidFile);
  platform::CloseFile(second);
  EXPECT_EQ(platform::TryLockFile(dir.Path("no-such-folder/x.lock"), state), platform::kInvalidFile);
  EXPECT_EQ(state, platform::LockState::kCannotMake) << "a lock file that cannot be made is no lock held elsewhere";
}

}  // namespace
