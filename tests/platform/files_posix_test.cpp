// The token file among users on POSIX: a link in its place, a folder shared
// with every user, and a lock that another user shares. (That a written
// file is its owner's alone, the end-to-end test shows.)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "platform/File.h"
#include "test_support/OtherUser.h"
#include "test_support/TempDir.h"

namespace {

TEST(FilesPosix, ALinkIsNoFileToReadOrReplace) {
  TempDir dir;
  const std::string notes = dir.Write("notes.txt", "mine");
  const std::string path = dir.Write("token.json", "{}");
  platform::FileIdentity identity;
  platform::CloseFile(platform::OpenFileForReadNoFollow(path, identity));
  platform::FileReplacement replacement;
  ASSERT_EQ(replacement.Prepare(path, 100), "");
  std::filesystem::remove(path);
  std::filesystem::create_symlink(notes, path);
  EXPECT_NE(replacement.Commit("{\"refresh_token\": \"r\"}", identity), "");
  EXPECT_EQ(TempDir::Read(notes), "mine");
  EXPECT_EQ(platform::OpenFileForReadNoFollow(path, identity), platform::kInvalidFile);
  EXPECT_EQ(platform::ResolvedPath(path), platform::ResolvedPath(notes));
}

TEST(FilesPosix, AFifoWithoutAWriterIsNotWaitedForBeyondTheWait) {
  TempDir dir;
  const std::string fifo = dir.Path("body");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(platform::ReadPipe(fifo, 100), std::nullopt);
  EXPECT_EQ(platform::ReadPipe(dir.Write("plain.txt", "text"), 100), std::nullopt) << "no FIFO";
}

TEST(FilesPosix, AFolderEveryUserWritesToWithoutTheStickyBitIsShared) {
  const struct {
    mode_t folder;
    bool shared;
  } cases[] = {{0755, false}, {0775, false}, {0777, true}, {01777, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    TempDir dir;
    ::chmod(dir.Path("").c_str(), c.folder);
    EXPECT_EQ(platform::InSharedFolder(dir.Path("token.json")), c.shared);
  }
}

// Root's lock file and a user's run: the user locks it read-only, in turn
// with root's run, unless root's file is unreadable to them.
TEST(FilesPosix, AnotherUsersLockFileIsSharedOrToldUnusable) {
  if (!OtherUserAvailable()) GTEST_SKIP() << "needs root, to run a step as another user";
  const UsualUmask usualUmask;
  TempDir dir;
  const std::string path = dir.Path("token.json.lock");
  const auto otherUsersLock = [&path] {
    platform::LockState state = platform::LockState::kTaken;
    const platform::FileHandle file = platform::TryLockFile(path, state);
    if (file != platform::kInvalidFile) platform::CloseFile(file);
    return static_cast<int>(state);
  };
  platform::LockState state = platform::LockState::kCannotOpen;
  const platform::FileHandle root = platform::TryLockFile(path, state);
  ASSERT_EQ(state, platform::LockState::kTaken);
  EXPECT_EQ(AsOtherUser(otherUsersLock), static_cast<int>(platform::LockState::kHeldElsewhere));
  platform::CloseFile(root);
  EXPECT_EQ(AsOtherUser(otherUsersLock), static_cast<int>(platform::LockState::kTaken));
  ::chmod(path.c_str(), 0600);
  EXPECT_EQ(AsOtherUser(otherUsersLock), static_cast<int>(platform::LockState::kCannotOpen));
}

}  // namespace
