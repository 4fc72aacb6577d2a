#pragma once
// Mailboxes as the lists and switches write them, and as the server compares
// them.

#include <string>

namespace mailbox {

/// The mailbox of a recipient entry: between "<" and ">", else after the
/// first ":" (up to a second one), else the whole entry; without the
/// blanks and control characters around it.
std::string Extract(const std::string& entry);

/// What two mailboxes share when a server takes them for the same one
/// (RFC 5321 2.4): the local part as written, the domain without regard to
/// ASCII case. Two entries with the same key are one recipient.
std::string Key(const std::string& mailbox);

}  // namespace mailbox
