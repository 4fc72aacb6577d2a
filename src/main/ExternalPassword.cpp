#include "main/ExternalPassword.h"

#include "core/Exceptions.h"
#include "main/MailException.h"
#include "main/SwitchValues.h"
#include "platform/Credentials.h"

namespace {

constexpr const char* kCredentialSwitch = "PWCRED";
constexpr const char* kCommandSwitch = "PWCMD";
/// The switch.
constexpr std::string_view kNeedsValue = "The switch /%s needs a value.";
/// The credential's name, then why.
constexpr std::string_view kNoCredential = "The password cannot be read from the credential %s: %s.";
/// The command as given, then why.
constexpr std::string_view kCommandFailed = "The password command %s failed: %s.";

std::string ValueOf(const TCmdLineParser& cmd, const char* name) {
  // Without a value the parser gives the switch's own name.
  std::string value = cmd.GetParamValue(name);
  if (value.empty() || value == name) throw EMailException(FillPlaceholder(kNeedsValue, name));
  return value;
}

std::string Filled(std::string_view pattern, const std::string& first, const std::string& second) {
  return FillPlaceholder(FillPlaceholder(pattern, first), second);
}

}  // namespace

bool ExternalPasswordAsked(const TCmdLineParser& cmd) {
  return cmd.ParamExistsExactly(kCredentialSwitch) || cmd.ParamExistsExactly(kCommandSwitch);
}

std::string ExternalPassword(const TCmdLineParser& cmd, int timeoutMilliseconds) {
  std::string problem;
  if (cmd.ParamExistsExactly(kCredentialSwitch)) {
    const std::string target = ValueOf(cmd, kCredentialSwitch);
    std::optional<std::string> password = platform::StoredCredential(target, problem);
    if (!password) throw EMailException(Filled(kNoCredential, target, problem));
    RefuseLineBreaksInPassword("the credential " + target, *password);
    return std::move(*password);
  }
  const std::string command = ValueOf(cmd, kCommandSwitch);
  std::optional<std::string> password =
      platform::CommandOutputLine(CommandArguments(command), timeoutMilliseconds, problem);
  if (!password) throw EMailException(Filled(kCommandFailed, command, problem));
  RefuseLineBreaksInPassword("the command " + command, *password);
  return std::move(*password);
}

std::vector<std::string> CommandArguments(std::string_view value) {
  std::vector<std::string> arguments;
  std::string argument;
  bool quoted = false;
  bool started = false;
  for (const char c : value) {
    if (c == '"') {
      quoted = !quoted;
      started = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (started) arguments.push_back(std::move(argument));
      argument.clear();
      started = false;
    } else {
      argument += c;
      started = true;
    }
  }
  if (started) arguments.push_back(std::move(argument));
  return arguments;
}
