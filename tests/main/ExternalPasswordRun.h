#pragma once
// The password that switches name through ExternalPassword, as a test asks
// for it.

#include <string>
#include <vector>

#include "main/ExternalPassword.h"
#include "main/MailException.h"

/// The password that arguments (switches that "/" alone starts) name, or
/// the text of the failure.
inline std::string ExternalPasswordOf(std::vector<std::string> arguments, int timeoutMilliseconds) {
  arguments.insert(arguments.begin(), "mailshot");
  TCmdLineParser parser(nullptr);
  parser.SetArgumentSource([arguments] { return arguments; });
  parser.SetSwitchChars("/");
  parser.Parse();
  try {
    return ExternalPassword(parser, timeoutMilliseconds);
  } catch (const EMailException& e) {
    return e.Message();
  }
}
