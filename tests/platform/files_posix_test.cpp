// The token file's permissions on POSIX: its owner's alone when new, as they
// were when replaced.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/File.h"
#include "test_support/TempDir.h"

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

TEST(FilesPosix, ReplacedFileKeepsItsModeAndANewOneIsPrivate) {
  TempDir dir;
  const std::string fresh = dir.Path("new.json");
  ASSERT_EQ(platform::ReplaceFileContent(fresh, "{}"), "");
  EXPECT_EQ(ModeOf(fresh), 0600u);
  const std::string shared = dir.Write("shared.json", "{}");
  ::chmod(shared.c_str(), 0640);
  ASSERT_EQ(platform::ReplaceFileContent(shared, "{\"a\": 1}"), "");
  EXPECT_EQ(ModeOf(shared), 0640u);
}

}  // namespace
