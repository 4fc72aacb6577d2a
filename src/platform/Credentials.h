#pragma once
// Passwords kept outside mailshot, so that none lies in a file of its own:
// a generic credential of Windows Credential Manager, and on POSIX the
// output of a command (a keyring's tool, such as secret-tool).

#include <optional>
#include <string>
#include <vector>

namespace platform {

/// The password of the generic credential target in the user's Credential
/// Manager (made with cmdkey /generic or the Control Panel), as UTF-8.
/// nullopt, and problem says why: no such credential, or no Credential
/// Manager on this system (POSIX).
std::optional<std::string> StoredCredential(const std::string& target, std::string& problem);

/// Runs arguments[0], found on PATH, with the rest as its arguments (no
/// shell sees them), its standard input empty, for at most
/// timeoutMilliseconds (0: no bound), and gives the first line of its
/// standard output, its line end not part of it. nullopt, and problem says
/// why: it could not be started, ended other than with exit status 0, or
/// ran out of time, with its standard error (its first 500 bytes) quoted;
/// or no commands are run for a password on this system (Windows). The
/// caller wipes what it gets.
std::optional<std::string> CommandOutputLine(const std::vector<std::string>& arguments, int timeoutMilliseconds,
                                             std::string& problem);

}  // namespace platform
