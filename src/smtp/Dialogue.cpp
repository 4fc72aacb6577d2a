#include "smtp/Dialogue.h"

#include <algorithm>

#include "core/Wipe.h"
#include "net/SocketTexts.h"
#include "smtp/SmtpTexts.h"

namespace {

/// Far more lines than any reply has (an EHLO reply has a few dozen).
constexpr size_t kMaxReplyLines = 1000;

/// The code of a reply line: its first three characters when they are
/// digits and no further digit follows; kNoCode otherwise.
int ReplyCode(const std::string& line) {
  auto digit = [&](size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
  if (!digit(0) || !digit(1) || !digit(2) || digit(3)) return kNoCode;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

/// A line of a multi-line reply that another line follows.
bool IsContinuation(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

}  // namespace

std::string FailureText(const DialogueStep& step, const Reply& reply) {
  if (reply.Closed()) return FillPlaceholder(kErrServerClosed, step.awaitedReply);
  const std::string& line = reply.Last();
  if (ReplyCode(line) != kNoCode) return line;
  if (line.find_first_not_of("\r\n") == std::string::npos) return FillPlaceholder(kErrEmptyReply, step.awaitedReply);
  return FillPlaceholder(kErrCodelessReply, step.awaitedReply) + line;
}

std::string Duration(std::int32_t milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds) + " ms";
}

std::int32_t TStandardWaits::For(TStandardWait wait) const {
  switch (wait) {
    case TStandardWait::kDataStart:
      return dataStart;
    case TStandardWait::kDataEnd:
      return dataEnd;
    case TStandardWait::kCommand:
      break;
  }
  return command;
}

int Reply::Code() const {
  const int code = ReplyCode(lines.front());
  return code == ReplyCode(lines.back()) ? code : kNoCode;
}

bool TSmtpDialogue::Accepts(const DialogueStep& step, const Reply& reply) {
  if (reply.Closed()) return false;
  const int code = reply.Code();
  return code >= step.lowestAccepted && code <= step.highestAccepted;
}

Reply TSmtpDialogue::CompleteReply(std::string line) {
  Reply reply;
  for (;;) {
    if (line.empty()) return {};
    // A server that never ends its reply must not fill the memory.
    if (reply.lines.size() == kMaxReplyLines) {
      throw ESockError(FillPlaceholder(kErrEndlessReply, std::to_string(kMaxReplyLines)));
    }
    reply.lines.push_back(line);
    if (!IsContinuation(line)) return reply;
    line = ReadLine();
  }
}

std::string TSmtpDialogue::ReadLine() {
  std::string line;
  wire_.ReadLn(line);
  if (!line.empty()) wire_.ReportStatus(kLevelReply, line);
  return line;
}

void TSmtpDialogue::Fail(const DialogueStep& step, const Reply& reply) {
  if (step.refusal == OnRefusal::kFailureThenRaise && events_.onFailure) events_.onFailure(events_.sender);
  const int code = FailureCode(reply);
  if (!reply.Closed()) {
    if (step.refusal == OnRefusal::kRefuseEncryption) {
      throw EReplyError(std::string(kErrStartTlsRefused) + FailureText(step, reply), code);
    }
    if (step.refusal == OnRefusal::kRefuseCredentials && ReplyCode(reply.Last()) / 100 == 5) {
      throw EAuthenticationRefused(FailureText(step, reply), code);
    }
  }
  throw EReplyError(FailureText(step, reply), code);
}

void TSmtpDialogue::Refused(const DialogueStep& step, const Reply& reply, const std::string& entry) {
  if (step.refusal == OnRefusal::kReportRecipient) {
    if (events_.onRecipientNotFound) events_.onRecipientNotFound(entry);
    return;
  }
  if (step.refusal == OnRefusal::kAskAuthentication && !reply.Closed()) {
    throw EReplyError(std::string(kErrAuthenticationFailed), FailureCode(reply));
  }
  if (step.challengeEnd != nullptr && !reply.Closed() && reply.Code() == kChallenge) {
    // The server waits for an answer: the exchange must end before any other
    // command can follow, and the server's reply to its end tells why.
    if (step.challengeNote != nullptr && events_.note) {
      const std::string note = step.challengeNote(reply.Last());
      if (!note.empty()) events_.note(note);
    }
    Fail(*step.challengeEnd, Converse(*step.challengeEnd));
  }
  Fail(step, reply);
}

template <typename Exchange>
Reply TSmtpDialogue::NamingTimeOut(const DialogueStep& step, Exchange exchange) {
  const TFallbackTimeOut standard(wire_, waits_.For(step.standardWait));
  try {
    // /WAIT bounds the reply as a whole, not each of its lines.
    const TSharedTimeOut wholeReply(wire_);
    return exchange();
  } catch (const EAbortError& e) {
    // A cancel passes unchanged; a wait that ran out (for the reply, or for
    // room to send the command) names the reply that did not come.
    if (!wire_.TimedOut) throw;
    throw EAbortError(FillPlaceholder(
        FillPlaceholder(FillPlaceholder(kErrReplyTimedOut, e.Message()), step.awaitedReply), Duration(wire_.TimeOut)));
  }
}

Reply TSmtpDialogue::Await(const DialogueStep& step) {
  return NamingTimeOut(step, [&] { return CompleteReply(ReadLine()); });
}

Reply TSmtpDialogue::AwaitReplyTo(const DialogueStep& step) {
  if (!wire_.Connected) return {};
  return Await(step);
}

Reply TSmtpDialogue::Converse(const DialogueStep& step, std::string_view argument, std::string_view parameters) {
  // Once the close was noticed the socket was replaced: whatever moment the
  // server hung up at, the step meets the closed connection's missing reply.
  if (!wire_.Connected) return {};
  return NamingTimeOut(step, [&] {
    std::string line;
    RefuseEarlyInput(step);
    // The argument may be a secret: the line is made in storage of its final
    // size, so that no copy is left behind, and wiped after use.
    std::string command;
    const TWipeOnExit wipeCommand(command);
    command.reserve(step.command.size() + argument.size() + step.closing.size() + parameters.size());
    command += step.command;
    command += argument;
    command += step.closing;
    command += parameters;
    if (step.secretArgument) {
      wire_.SecretTransaction(command, step.command.size(), line);
    } else {
      wire_.Transaction(command, line);
    }
    return CompleteReply(line);
  });
}

void TSmtpDialogue::RefuseEarlyInput(const DialogueStep& step) {
  // A "421" before a close, say.
  if (wire_.InputWaiting()) Fail(step, CompleteReply(ReadLine()));
}

void TSmtpDialogue::Require(const DialogueStep& step, std::string_view argument, std::string_view parameters) {
  const Reply reply = Converse(step, argument, parameters);
  if (!Accepts(step, reply)) Refused(step, reply);
}

void TCommandPipeline::Queue(const DialogueStep& step, std::string_view argument, std::string_view parameters) {
  unsent_.push_back({&step, std::string(argument), std::string(parameters)});
}

std::string TCommandPipeline::Command::Line() const {
  std::string line;
  line.reserve(step->command.size() + argument.size() + step->closing.size() + parameters.size());
  line += step->command;
  line += argument;
  line += step->closing;
  line += parameters;
  return line;
}

const DialogueStep& TCommandPipeline::Next() const {
  return *(sent_.empty() ? unsent_.front() : sent_.front()).step;
}

Reply TCommandPipeline::Take() {
  if (pipelining_) SendAhead();
  // In lock-step, or once the server hung up before the command could go
  // out (Converse then gives the closed connection's missing reply).
  if (sent_.empty()) {
    const Command command = std::move(unsent_.front());
    unsent_.pop_front();
    return dialogue_.Converse(*command.step, command.argument, command.parameters);
  }
  const Command command = std::move(sent_.front());
  sent_.pop_front();
  bytesInFlight_ -= command.bytes;
  return dialogue_.AwaitReplyTo(*command.step);
}

bool TCommandPipeline::Withdraw() {
  if (!sent_.empty() || unsent_.empty()) return false;
  unsent_.pop_front();
  return true;
}

bool TCommandPipeline::Unsent(const DialogueStep& step) const {
  return std::any_of(unsent_.begin(), unsent_.end(), [&](const Command& command) { return command.step == &step; });
}

void TCommandPipeline::SendAhead() {
  if (unsent_.empty() || !dialogue_.Wire().Connected) return;
  // Whatever waits before the first command of a group answers none of ours.
  if (sent_.empty()) dialogue_.RefuseEarlyInput(*unsent_.front().step);
  std::vector<std::string> lines;
  while (!unsent_.empty()) {
    Command& command = unsent_.front();
    std::string line = command.Line();
    command.bytes = line.size() + 2;  // with CR LF
    if (!sent_.empty() && bytesInFlight_ + command.bytes > kPipelineWindow) break;
    bytesInFlight_ += command.bytes;
    lines.push_back(std::move(line));
    sent_.push_back(std::move(command));
    unsent_.pop_front();
  }
  if (lines.empty()) return;
  // A server that reads none of the group must not hold the run for ever.
  const TFallbackTimeOut standard(dialogue_.Wire(), dialogue_.Waits().command);
  dialogue_.Wire().WriteLines(lines);
}
