// Passwords from outside mailshot: the command's arguments, and the
// command or the credential as each system has it.

#include <gtest/gtest.h>

#include "main/ExternalPassword.h"
#include "main/MailException.h"

namespace {

TEST(ExternalPassword, CommandArgumentsSplitAtBlanksOutsideQuotes) {
  const struct {
    std::string value;
    std::vector<std::string> arguments;
  } cases[] = {
      {"secret-tool lookup service smtp", {"secret-tool", "lookup", "service", "smtp"}},
      {"  pass  show\tmail ", {"pass", "show", "mail"}},
      {R"(tool "two words" x"y z" "")", {"tool", "two words", "xy z", ""}},
      {"a;b $HOME|c", {"a;b", "$HOME|c"}},  // no shell reads them
  };
  for (const auto& c : cases) EXPECT_EQ(CommandArguments(c.value), c.arguments) << c.value;
}

}  // namespace
