#pragma once
// Checks on switch values beyond those of the original switch set: the
// charset's name, the server's optional port, the time-out and report
// level, values that would break a command or header line apart, and the
// password file.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

/// The server switch's value cut into host and optional port.
struct TServerAddress {
  std::string Host;
  std::optional<std::uint16_t> Port;  // none: the value named no port
};

/// Cuts "host:port" at its colon; a value without a colon is all host. An
/// IPv6 address stands in brackets, "[2001:db8::25]:587", and comes without
/// them. Raises EMailException when the text after the colon is not a
/// decimal number from 1 to 65535, for more than one colon outside brackets,
/// and for brackets that hold no IPv6 address or are followed by anything
/// but a colon and the port.
TServerAddress SplitServerAddress(const std::string& value);

/// The seconds of /WAIT: a decimal number from 1 to 3600. Raises
/// EMailException otherwise.
int WaitSeconds(const std::string& value);

/// How often a job that failed for a passing reason is run again (/RETRY).
struct TRetrySettings {
  int Count = 0;     // retries after the first attempt; 0: none
  int Seconds = 60;  // the wait before the first retry

  /// The seconds to wait before retry number retry (from 1): Seconds,
  /// doubled for each retry after the first, at most an hour.
  std::uint32_t WaitBefore(int retry) const;
};

/// The value of /RETRY: "count" or "count:seconds", count from 1 to 10,
/// seconds from 1 to 3600 (60 when not given). Raises EMailException otherwise.
TRetrySettings RetryOf(const std::string& value);

/// The value of /MAXRCPT: the recipients of one transaction, a decimal
/// number from 1 to 100000. Raises EMailException otherwise.
int MaxRecipientsOf(const std::string& value);

/// The value of /DSN as NOTIFY takes it (RFC 3461): SUCCESS, FAILURE and
/// DELAY, each once, joined by commas, or NEVER alone; upper-cased. Raises
/// EMailException otherwise.
std::string DsnNotifyOf(const std::string& value);

/// The value of /DSNRET as RET takes it: HDRS or FULL, upper-cased. Raises
/// EMailException otherwise.
std::string DsnReturnOf(const std::string& value);

/// The report level of /V: 1 for the switch without a value (which the
/// parser gives as the switch's own name, V), else a decimal number from 1
/// to 8. Raises EMailException otherwise.
int ReportLevelOf(const std::string& value);

/// The charset of /CS under its IANA preferred name ("utf8" gives UTF-8,
/// "cp1251" windows-1251). Raises EMailException for a value that a "-" cut
/// short (cut), with the hint of /ES, and for a name not known.
std::string MailCharsetOf(const std::string& value, bool cut);

/// Raises EMailException ("The value of switch /F, "no", is no mail
/// address." and hint) when value names no mailbox with an "@" in it, in
/// any of the forms "box", "Name <box>", "Name: box". The one check of an
/// address given on the command line: the sender's and the reply address's.
void RefuseNoMailAddress(const std::string& switchName, const std::string& value, const std::string& hint = {});

/// Raises EMailException naming switchName when value holds a CR, an LF or a
/// byte 0, which would end a command or header line early and start another.
void RefuseLineBreaks(const std::string& switchName, const std::string& value);

/// Raises EMailException naming where the password came from (origin, as
/// "the file pw.txt") when it holds a CR, an LF or a byte 0; the password
/// itself is never part of a message.
void RefuseLineBreaksInPassword(const std::string& origin, const std::string& password);

/// The first line of the file at path, its line end (CR, LF or both) not
/// included; at most longest + 1 bytes are read, so a longer result tells
/// of a line longer than longest. What else was read is wiped. Raises
/// EMailException when the file cannot be read or its first line is empty.
std::string PasswordFromFile(const std::string& path, std::size_t longest);
