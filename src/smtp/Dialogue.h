#pragma once
// The command and reply engine of the SMTP client: a step of the dialogue as
// a row (the line sent, the reply codes that accept it, what a refusal
// does), each reply read whole to its last line, and refusals turned into
// their events and exceptions. The client's dialogue and its login
// mechanisms are tables of such rows above it.

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Component.h"
#include "core/Exceptions.h"
#include "net/Tidewire.h"

/// Recipient: the entry as written in its list.
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;

/// What a step does when its reply is not accepted.
enum class OnRefusal {
  kRaiseReply,          // fail with the reply's last line
  kAskAuthentication,   // "Authentication failed" (the client asks OnAuthenticationFailed first)
  kReportRecipient,     // OnRecipientNotFound with the entry; the transaction goes on
  kFailureThenRaise,    // OnFailure, then fail with the reply's last line
  kRefuseEncryption,    // fail, naming STARTTLS, with the reply's last line
  kRefuseCredentials,   // a 5xx: EAuthenticationRefused with the reply's last line; else as kRaiseReply
};

/// A reply that asks for the next line of an exchange (AUTH's challenges).
inline constexpr int kChallenge = 334;
/// The code of no reply: a row accepting up to kNoCode accepts nothing.
inline constexpr int kNoCode = -1;

/// Which of the standard's time-outs bounds the wait for a step's reply.
enum class TStandardWait : std::uint8_t { kCommand, kDataStart, kDataEnd };

/// How long the waits of a dialogue may last when the job set no time-out
/// of its own (TTidewire::TimeOut 0), in milliseconds: RFC 5321 4.5.3.2's
/// figures. A wait for a reply bounds the reply as a whole; a data block
/// is the progress of the message's send.
struct TStandardWaits {
  std::int32_t command = 5 * 60 * 1000;    // the greeting, MAIL, RCPT and every other command
  std::int32_t dataStart = 2 * 60 * 1000;  // the 354 that opens the data phase
  std::int32_t dataBlock = 3 * 60 * 1000;  // each block of the message to be taken
  std::int32_t dataEnd = 10 * 60 * 1000;   // the reply to the message's end

  std::int32_t For(TStandardWait wait) const;
};

/// One step of the SMTP dialogue: the line sent (command, argument,
/// closing), the reply codes that count as acceptance and what a refusal
/// does.
struct DialogueStep {
  std::string_view command;
  std::string_view closing;
  int lowestAccepted;
  int highestAccepted;
  OnRefusal refusal;
  /// The name of the reply the step awaits ("reply to MAIL FROM"), for the
  /// texts of a reply that fails to come or has no code.
  std::string_view awaitedReply;
  /// The argument is a secret: the trace shows the command and "***" in its
  /// place, and the socket's buffer is wiped after the exchange.
  bool secretArgument = false;
  /// Sent when the reply is a challenge that nothing answers: the server
  /// waits for a line before any other command, and the reply to this one
  /// is the refusal. None: a challenge is refused as it stands.
  const DialogueStep* challengeEnd = nullptr;
  /// What such a challenge says, as a note for the log and /V before it is
  /// ended (its reply line is base64); empty: nothing more than the line.
  std::string (*challengeNote)(const std::string& line) = nullptr;
  /// The bound of the wait for the reply where the job set none.
  TStandardWait standardWait = TStandardWait::kCommand;
};

/// One whole reply: its lines as received, line ends kept, the last one
/// ending it. No lines: the server hung up before the reply was complete.
struct Reply {
  std::vector<std::string> lines;

  bool Closed() const { return lines.empty(); }
  const std::string& Last() const { return lines.back(); }
  /// The code of the first line when the last line carries the same;
  /// kNoCode otherwise.
  int Code() const;
};

/// A step of the dialogue failed on the server's answer: its reply refused
/// the step, or the server hung up instead of answering.
class EReplyError : public Exception {
 public:
  EReplyError(std::string message, int code) : Exception(std::move(message)), code_(code) {}
  /// The code of the reply that refused the step; kNoCode for a reply
  /// without one, 0 when no reply came.
  int Code() const { return code_; }

 private:
  int code_;
};

/// The server refused the credentials of a login with a permanent (5xx)
/// reply: another password or a fresh token may be tried on the same
/// connection, unlike every other failure of the login. The text is the
/// reply's last line.
class EAuthenticationRefused : public EReplyError {
 public:
  using EReplyError::EReplyError;
};

/// The error text of a reply that fails its step: its last line, or what
/// went wrong when that line has no code or the reply never came.
std::string FailureText(const DialogueStep& step, const Reply& reply);
/// The code EReplyError carries for reply.
inline int FailureCode(const Reply& reply) { return reply.Closed() ? 0 : reply.Code(); }

/// A time span for a message: "5 s" for whole seconds, else "300 ms".
std::string Duration(std::int32_t milliseconds);

/// The events refusals fire, and their sender; the owner's members.
struct TRefusalEvents {
  TObject* sender;
  const TNotifyEvent& onFailure;
  const TRecipientNotFound& onRecipientNotFound;
  /// Reports what the client learnt on its own (to the log and /V).
  std::function<void(const std::string& note)> note;
};

/// Runs dialogue steps over a socket component: sends each step's line,
/// reads its whole reply, and does what the step's row says of a refusal.
/// The SMTP client makes one for each use; it borrows the client's socket
/// and events.
class TSmtpDialogue {
 public:
  TSmtpDialogue(TTidewire& wire, TRefusalEvents events, TStandardWaits waits = {})
      : wire_(wire), events_(events), waits_(waits) {}

  TTidewire& Wire() { return wire_; }
  const TStandardWaits& Waits() const { return waits_; }

  /// The reply the server sends unasked (the greeting), read whole.
  Reply Await(const DialogueStep& step);
  /// The reply to step, whose line went out already: Await, or the closed
  /// connection's missing reply once the server has hung up.
  Reply AwaitReplyTo(const DialogueStep& step);
  /// Sends the step's line (command, argument, closing, parameters) and
  /// reads the whole reply; the line is wiped once sent, as the argument
  /// may be a secret (masked in the trace where the row says so). Once
  /// the server has hung up there is nobody to send to: the reply is the
  /// closed connection's. Input that waits before the line is sent answers
  /// no command of ours and fails the step. The exchange as a whole gets the
  /// socket's TimeOut; when it runs out, the step fails with the abort's
  /// text followed by the reply that did not come. Raises what
  /// the socket component raises; ESockError kErrEndlessReply.
  Reply Converse(const DialogueStep& step, std::string_view argument = {}, std::string_view parameters = {});
  /// Converse, then Refused when the reply does not accept the step.
  void Require(const DialogueStep& step, std::string_view argument = {}, std::string_view parameters = {});
  /// What a refused step does, as its row says: reports the recipient entry
  /// and returns, or ends a challenge left open, or raises EReplyError with
  /// the reply's code (EAuthenticationRefused where the row says so).
  void Refused(const DialogueStep& step, const Reply& reply, const std::string& entry = {});

  /// True when the reply's code lies in the step's accepted range.
  static bool Accepts(const DialogueStep& step, const Reply& reply);
  /// Fails step with a line that waits before its command went out: taken
  /// for the reply, it would put every later reply one step behind.
  void RefuseEarlyInput(const DialogueStep& step);

 private:
  /// Fails the step with its reply (after OnFailure where the row says so).
  [[noreturn]] void Fail(const DialogueStep& step, const Reply& reply);
  /// Reads the reply whose first line is line to its last line.
  Reply CompleteReply(std::string line);
  /// Reads a line that no command asked for (a greeting, a continuation, a
  /// line out of turn) and shows it as the wire shows a command's reply.
  std::string ReadLine();
  /// Runs one exchange of step within one TimeOut as a whole (however many
  /// lines the reply has), or the step's standard wait where the wire has
  /// none, naming the step in a time-out's text.
  template <typename Exchange>
  Reply NamingTimeOut(const DialogueStep& step, Exchange exchange);

  TTidewire& wire_;
  TRefusalEvents events_;
  TStandardWaits waits_;
};

/// The commands of a mail transaction's opening (RSET, MAIL FROM, RCPT TO,
/// DATA) and their replies, taken in the order the commands were queued.
/// In lock-step a command goes out when its reply is taken; with pipelining
/// (RFC 2920) the commands run ahead of their replies, several lines in one
/// send, up to kPipelineWindow bytes unanswered, so that neither side can
/// fill the other's buffers while it waits. Either way each reply is judged
/// by the same rows. A command that has not gone out may be withdrawn.
/// Borrows the dialogue.
class TCommandPipeline {
 public:
  /// Bytes of commands that may wait for their replies at once.
  static constexpr size_t kPipelineWindow = 32 * 1024;

  TCommandPipeline(TSmtpDialogue& dialogue, bool pipelining) : dialogue_(dialogue), pipelining_(pipelining) {}

  void Queue(const DialogueStep& step, std::string_view argument = {}, std::string_view parameters = {});
  /// The step of the oldest command whose reply was not taken; there must be one.
  const DialogueStep& Next() const;
  /// The reply to the oldest command whose reply was not taken, sending it
  /// (and with pipelining the commands after it) first where it has not
  /// gone out. Once the server has hung up, the reply is the closed
  /// connection's (Reply::Closed), for that command and every later one.
  /// Raises as TSmtpDialogue::Converse.
  Reply Take();
  /// Drops the oldest command whose reply was not taken when it has not
  /// gone out; false when it has, and its reply is still to come.
  bool Withdraw();
  /// Sends nothing ahead any more: each command not yet sent goes out when
  /// its reply is taken, as in lock-step (once a reply made them pointless,
  /// the commands after it are better withdrawn than sent).
  void HoldBack() { pipelining_ = false; }
  /// True when every command queued had its reply taken or was withdrawn.
  bool Done() const { return sent_.empty() && unsent_.empty(); }
  /// True when step is queued and has not gone out.
  bool Unsent(const DialogueStep& step) const;

 private:
  struct Command {
    const DialogueStep* step;
    std::string argument;
    std::string parameters;
    size_t bytes = 0;  // on the wire, once sent

    std::string Line() const;
  };
  /// Sends the unsent commands that fit in the window (at least one when
  /// nothing waits for a reply) in one go.
  void SendAhead();

  TSmtpDialogue& dialogue_;
  bool pipelining_;
  std::deque<Command> sent_;    // gone out, replies not taken, oldest first
  std::deque<Command> unsent_;  // queued after them
  size_t bytesInFlight_ = 0;
};
