#pragma once
// The two values that make a message one of its kind: the date it was
// written (RFC 5322 date-time) and its worldwide unique identifier.

#include <string>

#include "platform/Clock.h"

/// time as an RFC 5322 date-time: "Fri, 14 Mar 2025 02:00:01 +0100"; the
/// day of the week is worked out from the date.
std::string DateValue(const platform::LocalDateTime& time);

/// The domain a Message-ID names: the one of the sender's mailbox
/// (fromAddress's text after its last "@") when it is a dot-atom or an
/// address literal, else this machine's name when it is one, else
/// "localhost".
std::string MessageIdDomain(const std::string& fromAddress);

/// A new Message-ID value, "<" 32 hexadecimal digits "@" domain ">": 128
/// bits from the system's cryptographic random generator. Raises Exception
/// when the system has none to give.
std::string NewMessageId(const std::string& domain);
