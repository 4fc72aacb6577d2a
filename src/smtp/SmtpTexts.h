#pragma once
// Every text the SMTP client shows of its own: the failures of the dialogue,
// of the login and of a message that cannot be sent. The server's reply
// lines, which most refusals show, come as the server wrote them.

#include <string_view>

inline constexpr std::string_view kErrAuthenticationFailed = "Authentication failed";
/// The mechanism asked for, then the ones the server offers.
inline constexpr std::string_view kErrMechanismNotOffered =
    "The SMTP server does not offer the login mechanism %s; it offers %s";
/// %s: the mechanisms the server offers.
inline constexpr std::string_view kErrNoPasswordMechanism =
    "The SMTP server offers no login mechanism for a password (PLAIN or LOGIN); it offers %s";
/// %s: the mechanisms the server offers.
inline constexpr std::string_view kErrNoTokenMechanism =
    "The SMTP server offers no login mechanism for an access token (XOAUTH2 or OAUTHBEARER); it offers %s";
/// What the server offers when its EHLO reply named no mechanism.
inline constexpr std::string_view kNoMechanismOffered = "none";
inline constexpr std::string_view kErrCredentialsTooLong =
    "LoginName and Password may have at most 16384 bytes each";
/// The message's size, then the server's limit, both in bytes.
inline constexpr std::string_view kErrMessageTooLarge =
    "The message is %s bytes, more than the %s bytes the SMTP server takes";
inline constexpr std::string_view kErrStartTlsNotOffered =
    "The SMTP server does not offer STARTTLS, so the connection cannot be encrypted";
/// The refusal's last line follows.
inline constexpr std::string_view kErrStartTlsRefused = "The SMTP server refused STARTTLS: ";
inline constexpr std::string_view kErrIncompleteHeader = "Incomplete Header";
/// A reply was due and the connection ended instead; %s names the reply.
inline constexpr std::string_view kErrServerClosed = "The SMTP server closed the connection: no %s";
/// A reply that is nothing but its line end; %s names the reply.
inline constexpr std::string_view kErrEmptyReply = "The SMTP server sent an empty %s";
/// A reply line without a three-digit code, which the line follows; %s names the reply.
inline constexpr std::string_view kErrCodelessReply = "The SMTP server sent a %s without a code: ";
/// %s is the number of lines after which a reply is given up.
inline constexpr std::string_view kErrEndlessReply = "The SMTP server sent a reply of more than %s lines";
/// %s names the value that would have broken a line of the dialogue or header.
inline constexpr std::string_view kErrLineBreak = "%s must not contain CR, LF or NUL characters";
/// The name of the reply a server opens with, in the texts above and below.
inline constexpr std::string_view kGreetingReply = "greeting";
/// A step's time ran out: the abort's text, the reply that did not come
/// (named as in kErrServerClosed) and the time waited.
inline constexpr std::string_view kErrReplyTimedOut = "%s: no %s within %s";
/// The message's data went out no further for the time given.
inline constexpr std::string_view kErrDataTimedOut = "%s: the server took no data for %s in the middle of the message";
/// %s is the size of the header block that one Write cannot carry.
inline constexpr std::string_view kErrHeaderTooLong = "The message header is too long to send: %s bytes (at most 65535)";
/// AllRecipientsRequired, and a recipient was refused.
inline constexpr std::string_view kErrNotEveryRecipient =
    "The message was sent to no one: the SMTP server refused a recipient";
/// AllRecipientsRequired, and one transaction takes fewer recipients than
/// the message has (%s: how many the server or MaxRecipients lets it take).
inline constexpr std::string_view kErrRecipientLimit =
    "The message was sent to no one: it has more recipients than the %s that one message may go to";
/// The server accepted none of the recipients of any transaction.
inline constexpr std::string_view kErrNoRecipientAccepted =
    "The message was sent to no one: the SMTP server accepted none of the recipients";
/// A file changed while its part went out, so the message was not ended:
/// the file's entry, then how it changed (one of the kFile texts).
inline constexpr std::string_view kErrFileChanged =
    "The message was not sent: the file %s changed while it was sent (%s)";
inline constexpr std::string_view kFileShrank = "it became shorter";
inline constexpr std::string_view kFileGrew = "it grew";
inline constexpr std::string_view kFileWritten = "it was written to";
inline constexpr std::string_view kFileUnreadable = "a read failed";
/// Notes of the dialogue for /V and the run log, once a send takes more
/// than one transaction: "transaction 2: 100 recipients", "transaction 2:
/// delivered to 100 recipients".
inline constexpr std::string_view kNoteTransaction = "transaction %s: ";
inline constexpr std::string_view kNoteHeloName = "no name for HELO given: this machine's name %s goes instead";
inline constexpr std::string_view kNoteRecipients = " recipients";
inline constexpr std::string_view kNoteDelivered = "delivered to ";
inline constexpr std::string_view kNoteNobodyAccepted = "no recipient accepted";
/// The reply that said so follows.
inline constexpr std::string_view kNoteLimit = "the SMTP server takes no more recipients: ";
/// Followed by the reason the server's error challenge gives (a JSON text).
inline constexpr std::string_view kNoteTokenRefused = "the server refused the token: ";
inline constexpr std::string_view kNoteEhloRefused =
    "The SMTP server refused EHLO, so it offers no extension: HELO follows";
inline constexpr std::string_view kNoteNoDsn =
    "The SMTP server does not offer DSN: the message goes without delivery status notifications";
/// The line that follows the failure of the message's last step when no
/// clear answer to it came.
inline constexpr std::string_view kMayHaveBeenDelivered =
    "The message may have been delivered: all of it went out, but no clear answer to its end came.";
