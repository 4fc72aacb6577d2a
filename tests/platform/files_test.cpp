// A file replaced whole and the lock that runs take in turn.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/File.h"
#include "test_support/TempDir.h"

namespace {

TEST(Files, ReplacedWholeOrNotAtAll) {
  const struct {
    const char* name;
    const char* before;  // null: no file
    bool bareName;       // named relative to the working directory
  } cases[] = {
      {"a new file", nullptr, false},
      {"an old file", "{\"old\": 1}", false},
      {"an old file by a bare name", "{\"old\": 1}", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path(""));
    if (c.before != nullptr) dir.Write("token.json", c.before);
    const std::string problem = platform::ReplaceFileContent(c.bareName ? "token.json" : dir.Path("token.json"), "new");
    std::filesystem::current_path(previous);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(TempDir::Read(dir.Path("token.json")), "new");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("")), {}), 1) << "no other file left";
  }
  TempDir dir;
  std::filesystem::create_directory(dir.Path("token.json"));  // a folder in the way: no rename over it
  EXPECT_NE(platform::ReplaceFileContent(dir.Path("token.json"), "new"), "");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("")), {}), 1) << "no other file left";
}

TEST(Files, OneLockHolderAtATime) {
  TempDir dir;
  const std::string path = dir.Path("token.json.lock");
  bool heldElsewhere = true;
  const platform::FileHandle first = platform::TryLockFile(path, heldElsewhere);
  ASSERT_NE(first, platform::kInvalidFile);
  EXPECT_FALSE(heldElsewhere);
  EXPECT_EQ(platform::TryLockFile(path, heldElsewhere), platform::kInvalidFile);
  EXPECT_TRUE(heldElsewhere);
  platform::CloseFile(first);
  const platform::FileHandle second = platform::TryLockFile(path, heldElsewhere);
  EXPECT_NE(second, platform::kInvalidFile);
  platform::CloseFile(second);
  EXPECT_EQ(platform::TryLockFile(dir.Path("no-such-folder/x.lock"), heldElsewhere), platform::kInvalidFile);
  EXPECT_FALSE(heldElsewhere) << "a lock file that cannot be made is no lock held elsewhere";
}

}  // namespace
