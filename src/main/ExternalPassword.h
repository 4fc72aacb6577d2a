#pragma once
// A password that no file of mailshot's holds: /PWCRED names a generic
// credential of Windows Credential Manager, /PWCMD a command (on POSIX,
// run without a shell) whose first line of output is the password.

#include <string>
#include <string_view>
#include <vector>

#include "cmdline/CmdLineParser.h"

/// True when the command line holds /PWCRED or /PWCMD (by whole name).
bool ExternalPasswordAsked(const TCmdLineParser& cmd);

/// The password that /PWCRED or /PWCMD names; a command runs for at most
/// timeoutMilliseconds (0: no bound). Raises EMailException: no value, not
/// on this system, no such credential, a command that cannot run, fails or
/// runs out of time (its standard error quoted). The caller wipes it.
std::string ExternalPassword(const TCmdLineParser& cmd, int timeoutMilliseconds);

/// value as a command's arguments: split at blanks, where double quotes
/// keep blanks inside one argument (the quotes are dropped).
std::vector<std::string> CommandArguments(std::string_view value);
