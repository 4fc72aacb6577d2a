#pragma once
// The SMTP dialogue, in the order in which the lines are sent. An encrypted
// one (TLS from the first byte, or after STARTTLS) greets with EHLO instead
// of HELO, and after STARTTLS with a second EHLO inside TLS; so does one that
// asks for a service extension (DSN). A login follows the last EHLO
// (Authentication.cpp). Each mail transaction opens with RSET, MAIL FROM,
// the RCPT TO of its recipients and DATA; between DATA and "." go the header
// block and the body stream, with no reply read. A preliminary 1xx reply is
// no answer to any step.

#include "smtp/Dialogue.h"
#include "smtp/SmtpTexts.h"

namespace smtp_steps {

inline constexpr DialogueStep kGreeting{"", "", 200, 399, OnRefusal::kRaiseReply, kGreetingReply};
inline constexpr DialogueStep kHelo{"HELO ", "", 200, 299, OnRefusal::kAskAuthentication, "reply to HELO"};
inline constexpr DialogueStep kEhlo{"EHLO ", "", 200, 299, OnRefusal::kAskAuthentication, "reply to EHLO"};
inline constexpr DialogueStep kStartTls{"STARTTLS", "", 220, 220, OnRefusal::kRefuseEncryption, "reply to STARTTLS"};
inline constexpr DialogueStep kRset{"RSET", "", 200, 399, OnRefusal::kRaiseReply, "reply to RSET"};
inline constexpr DialogueStep kMailFrom{"MAIL FROM:<", ">", 200, 399, OnRefusal::kRaiseReply, "reply to MAIL FROM"};
inline constexpr DialogueStep kRcptTo{"RCPT TO:<", ">", 200, 300, OnRefusal::kReportRecipient, "reply to RCPT TO"};
// Only 354 opens the data phase: after any other reply the message's lines
// would reach the server as commands.
inline constexpr DialogueStep kData{.command = "DATA",
                                    .closing = "",
                                    .lowestAccepted = 354,
                                    .highestAccepted = 354,
                                    .refusal = OnRefusal::kRaiseReply,
                                    .awaitedReply = "reply to DATA",
                                    .standardWait = TStandardWait::kDataStart};
// Only a completion reply means that the server took the message.
inline constexpr DialogueStep kDataEnd{.command = ".",
                                       .closing = "",
                                       .lowestAccepted = 200,
                                       .highestAccepted = 299,
                                       .refusal = OnRefusal::kFailureThenRaise,
                                       .awaitedReply = "reply to the end of the message",
                                       .standardWait = TStandardWait::kDataEnd};
inline constexpr DialogueStep kQuit{"QUIT", "", 200, 339, OnRefusal::kRaiseReply, "reply to QUIT"};

}  // namespace smtp_steps
