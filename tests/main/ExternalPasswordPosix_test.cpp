// The password command on POSIX, run without a shell; Credential Manager
// is Windows'.

#include <gtest/gtest.h>

#include "ExternalPasswordRun.h"

namespace {

TEST(ExternalPasswordPosix, TheCommandsFirstLineOrItsFailure) {
  const struct {
    const char* name;
    std::string command;
    std::string outcome;
    int bound = 30000;  // milliseconds: far beyond a command's start on a loaded machine
  } cases[] = {
      {"the first line, nothing read by a shell", R"(printf "s3cret;$HOME|x\nsecond")", "s3cret;$HOME|x"},
      {"a failure with its standard error", R"(sh -c "echo no such entry >&2; exit 3")",
       R"(The password command sh -c "echo no such entry >&2; exit 3" failed: exit status 3: "no such entry".)"},
      {"no such program", "no-such-program-5x1",
       R"(The password command no-such-program-5x1 failed: exit status 127: "No such file or directory".)"},
      {"no answer in time", "sleep 30", "The password command sleep 30 failed: it gave no answer within 1 s.", 1000},
      {"a null character in the password", R"(printf "a\0b")",
       R"(The password from the command printf "a\0b" contains a line break or a null character, which cannot go )"
       "into a mail command."},
  };
  for (const auto& c : cases) EXPECT_EQ(ExternalPasswordOf({"/PWCMD:" + c.command}, c.bound), c.outcome) << c.name;
  EXPECT_EQ(ExternalPasswordOf({"/PWCRED:mail"}, 0),
            "The password cannot be read from the credential mail: Credential Manager is Windows'; on this system "
            "use --password-command.");
}

}  // namespace
