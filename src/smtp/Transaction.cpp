#include "smtp/Transaction.h"

#include <algorithm>
#include <deque>
#include <numeric>
#include <utility>

#include "smtp/MessageStream.h"
#include "smtp/MessageText.h"
#include "smtp/SmtpTexts.h"
#include "smtp/Steps.h"

using namespace smtp_steps;

namespace {

/// How long a server that hung up in the middle of the data may take to
/// hand over its last line.
constexpr std::int32_t kPartingWaitMilliseconds = 1000;

/// A refusal that says the transaction takes no more recipients (RFC 5321
/// 4.5.3.1.10): 452, unless its enhanced code names another reason (4.2.2
/// for a full mailbox), or the older servers' 552 with 5.5.3.
bool IsRecipientLimit(const Reply& reply) {
  if (reply.Closed()) return false;
  const std::string status = smtp_text::EnhancedStatus(reply.Last());
  switch (reply.Code()) {
    case 452:
      return status.empty() || status == "4.5.3";
    case 552:
      return status == "5.5.3";
    default:
      return false;
  }
}

/// text, then on a line of its own that the message may have been delivered.
std::string WithDeliveryInDoubt(const std::string& text) {
  return text + (!text.empty() && text.back() == '\n' ? "" : std::string(smtp_text::kCrLf)) +
         std::string(kMayHaveBeenDelivered);
}

/// The line a server that hung up left unread, waiting at most a moment;
/// empty when there is none.
std::string PartingLine(TTidewire& wire) {
  std::string line;
  if (!wire.InputWaiting()) return line;
  const std::int32_t timeOut = wire.TimeOut;
  wire.TimeOut = timeOut > 0 ? std::min(timeOut, kPartingWaitMilliseconds) : kPartingWaitMilliseconds;
  try {
    wire.ReadLn(line);
  } catch (const Exception&) {
    line.clear();  // half a line at most: the socket error alone tells what happened
  }
  wire.TimeOut = timeOut;
  if (!line.empty()) wire.ReportStatus(kLevelReply, line);
  return line;
}

/// One mail transaction of a send: RSET, MAIL FROM, the RCPT TO of its
/// recipients (indices into the record's outcomes) and DATA, in lock-step
/// or as a pipelined group, then the message for those accepted. Knows
/// which of its recipients the server took, which wait for a next
/// transaction because it took no more, and settles their fates.
class TMailTransaction {
 public:
  TMailTransaction(TSessionView& session, const TEnvelope& envelope, TSendRecord& record,
                   std::vector<size_t> recipients)
      : session_(session), envelope_(envelope), record_(record), recipients_(std::move(recipients)) {}

  /// Sends the opening and judges its replies in order; the data phase is
  /// open afterwards when someone was accepted. Raises as SendToRecipients.
  void Open(bool allRequired);
  /// Header block, body and "." (with QUIT after it where asked and
  /// pipelined) for the accepted recipients, whose fates the answer settles.
  void SendMessage(const std::string& header, TStream& body, bool quitAfter);

  const std::vector<size_t>& Accepted() const { return accepted_; }
  /// Past the server's limit: for the next transaction, without a reply of their own.
  const std::vector<size_t>& Waiting() const { return waiting_; }
  /// The reply that said the transaction takes no more recipients.
  const Reply& LimitReply() const { return limitReply_; }

 private:
  TSmtpDialogue& Dialogue() { return session_.dialogue; }
  bool LimitReached() const { return !limitReply_.Closed(); }
  /// Judges the reply to a RCPT TO of recipient.
  void JudgeRecipient(TCommandPipeline& pipeline, size_t recipient, const Reply& reply);
  /// Opens the data phase (DATA's reply must be 354), or ends one that
  /// opened for nobody.
  void JudgeData(TCommandPipeline& pipeline);
  /// After a refusal in the middle of a group: takes the replies still due,
  /// ends a DATA that was accepted all the same without delivering
  /// anything, then raises the refusal.
  [[noreturn]] void Abandon(TCommandPipeline& pipeline, const DialogueStep& step, const Reply& reply);
  /// Ends a data phase that must deliver nothing: a lone "." when nobody
  /// was accepted, else the connection is dropped.
  void EndDataUndelivered(bool anyoneAccepted);
  /// Raises the failure of a step whose reply did not come: the server hung up.
  [[noreturn]] void LostConnection(const DialogueStep& step);
  void Refuse(size_t recipient, const Reply& reply);
  void Settle(TRecipientFate fate);

  TSessionView& session_;
  const TEnvelope& envelope_;
  TSendRecord& record_;
  std::vector<size_t> recipients_;
  std::vector<size_t> accepted_;
  std::vector<size_t> waiting_;
  Reply limitReply_;  // none (Closed) while the server takes more
  bool refusedAny_ = false;
};

void TMailTransaction::Open(bool allRequired) {
  TCommandPipeline pipeline(Dialogue(), session_.pipelining);
  // Every transaction starts from a clean state: a server may keep one
  // open after a refused DATA or ".".
  pipeline.Queue(kRset);
  pipeline.Queue(kMailFrom, envelope_.sender, envelope_.mailParameters);
  for (size_t index : recipients_) {
    pipeline.Queue(kRcptTo, record_.outcomes[index].Mailbox, envelope_.recipientParameters);
  }
  // A group carries DATA too; in lock-step it waits for an accepted
  // recipient, and all or nothing waits for every recipient's verdict: an
  // accepted DATA could only be ended by delivering.
  if (session_.pipelining && !allRequired) pipeline.Queue(kData);
  for (const DialogueStep* opener : {&kRset, &kMailFrom}) {
    const Reply reply = pipeline.Take();
    if (!TSmtpDialogue::Accepts(*opener, reply)) Abandon(pipeline, *opener, reply);
  }
  for (size_t index : recipients_) {
    // Past the limit, a recipient whose RCPT TO has not gone out waits for
    // the next transaction without one here.
    if (LimitReached() && pipeline.Withdraw()) {
      waiting_.push_back(index);
      continue;
    }
    JudgeRecipient(pipeline, index, pipeline.Take());
  }
  if (allRequired) {
    if (refusedAny_ || LimitReached()) {
      // The transaction ends before DATA: nobody gets the message. Whatever
      // the server answers, nothing was delivered.
      Dialogue().Converse(kRset);
      if (!LimitReached()) throw Exception(std::string(kErrNotEveryRecipient));
      throw Exception(FillPlaceholder(kErrRecipientLimit, std::to_string(accepted_.size())));
    }
    pipeline.Queue(kData);
  } else if (!session_.pipelining && !accepted_.empty()) {
    pipeline.Queue(kData);
  }
  JudgeData(pipeline);
}

void TMailTransaction::JudgeRecipient(TCommandPipeline& pipeline, size_t recipient, const Reply& reply) {
  if (reply.Closed()) LostConnection(kRcptTo);
  if (TSmtpDialogue::Accepts(kRcptTo, reply)) {
    accepted_.push_back(recipient);
    ++record_.accepted;
  } else if (IsRecipientLimit(reply) && !accepted_.empty()) {
    // The server takes no more in this transaction: the rest wait for the next.
    if (!LimitReached()) {
      limitReply_ = reply;
      pipeline.HoldBack();
    }
    waiting_.push_back(recipient);
  } else {
    // A limit before anyone was accepted is this recipient's own refusal:
    // a next transaction would meet it again.
    Refuse(recipient, reply);
  }
}

void TMailTransaction::JudgeData(TCommandPipeline& pipeline) {
  if (pipeline.Done()) return;  // nobody was accepted in lock-step: no DATA
  if (accepted_.empty() && pipeline.Withdraw()) return;
  const Reply reply = pipeline.Take();
  if (reply.Closed()) LostConnection(kData);
  const bool opened = TSmtpDialogue::Accepts(kData, reply);
  if (accepted_.empty()) {
    // DATA went ahead in the group for recipients who were all refused.
    if (opened) EndDataUndelivered(false);
    return;
  }
  if (opened) return;
  // A positive reply other than 354 leaves the server in a state nobody
  // knows: whatever went next could be read as the message or as commands.
  if (reply.Code() >= 200 && reply.Code() < 400) DropConnection(Dialogue().Wire());
  Dialogue().Refused(kData, reply);
}

void TMailTransaction::Abandon(TCommandPipeline& pipeline, const DialogueStep& step, const Reply& reply) {
  if (reply.Closed()) LostConnection(step);
  // In lock-step nothing went out after the refused command; in a group the
  // replies to the rest are due, and an accepted DATA must deliver nothing
  // (RFC 2920).
  bool anyoneAccepted = false;
  while (!pipeline.Done()) {
    if (pipeline.Withdraw()) continue;
    const DialogueStep& next = pipeline.Next();
    const Reply answer = pipeline.Take();
    if (!TSmtpDialogue::Accepts(next, answer)) continue;
    if (&next == &kRcptTo) anyoneAccepted = true;
    if (&next == &kData) EndDataUndelivered(anyoneAccepted);
  }
  Dialogue().Refused(step, reply);
  throw EReplyError(FailureText(step, reply), FailureCode(reply));  // a refusal of these steps always raises
}

void TMailTransaction::EndDataUndelivered(bool anyoneAccepted) {
  // A lone "." delivers an empty message to whoever was accepted: only
  // hanging up ends the data phase without one then.
  if (anyoneAccepted) {
    DropConnection(Dialogue().Wire());
    return;
  }
  Dialogue().Converse(kDataEnd);
}

void TMailTransaction::LostConnection(const DialogueStep& step) {
  DropConnection(Dialogue().Wire());
  throw EReplyError(FailureText(step, Reply{}), 0);
}

void TMailTransaction::Refuse(size_t recipient, const Reply& reply) {
  TRecipientOutcome& outcome = record_.outcomes[recipient];
  outcome.Fate = TRecipientFate::kRefused;
  refusedAny_ = true;
  record_.refused.push_back({outcome.Entry, FailureText(kRcptTo, reply), FailureCode(reply)});
  Dialogue().Refused(kRcptTo, reply, outcome.Entry);
}

void TMailTransaction::Settle(TRecipientFate fate) {
  for (size_t index : accepted_) record_.outcomes[index].Fate = fate;
}

void TMailTransaction::SendMessage(const std::string& header, TStream& body, bool quitAfter) {
  TSmtpDialogue& dialogue = Dialogue();
  TTidewire& wire = dialogue.Wire();
  const bool pipelined = session_.pipelining;
  {
    const TFallbackTimeOut eachBlock(wire, dialogue.Waits().dataBlock);
    try {
      // A reply beyond those due would pass for the answer to the end.
      dialogue.RefuseEarlyInput(kDataEnd);
      wire.Write(header);
      // Pipelined, the end goes with the last bytes of the message, and the
      // goodbye with it when this is the session's last message.
      std::vector<std::string> closing;
      if (pipelined) closing.emplace_back(kDataEnd.command);
      if (pipelined && quitAfter) closing.emplace_back(kQuit.command);
      wire.SendStream(body, closing);
      record_.quitSent = pipelined && quitAfter && wire.Connected;
    } catch (const EFileChanged&) {
      // Only a connection that ends in the middle of the data makes sure the
      // server delivers none of it.
      DropConnection(wire);
      throw;
    } catch (const EAbortError& e) {
      if (!wire.TimedOut) throw;
      throw EAbortError(FillPlaceholder(FillPlaceholder(kErrDataTimedOut, e.Message()), Duration(wire.TimeOut)));
    } catch (const ESockError& e) {
      // A server that refuses a message in the middle of its data usually
      // says why before it hangs up.
      const std::string parting = PartingLine(wire);
      if (parting.empty()) throw;
      throw ESockError(parting + e.Message());
    }
  }
  // Once "." goes out the server may deliver the message whatever becomes of
  // the connection: only its clear answer tells that it did not. (On a
  // connection already closed nothing more goes out.)
  if (wire.Connected) {
    record_.progress = TSendProgress::kEndSent;
    Settle(TRecipientFate::kInDoubt);
  }
  try {
    if (pipelined) {
      const Reply reply = dialogue.AwaitReplyTo(kDataEnd);
      if (!TSmtpDialogue::Accepts(kDataEnd, reply)) dialogue.Refused(kDataEnd, reply);
    } else {
      dialogue.Require(kDataEnd);
    }
  } catch (const EReplyError& e) {
    if (e.Code() > 0) {
      Settle(TRecipientFate::kNotSent);
      throw;
    }
    throw EReplyError(WithDeliveryInDoubt(e.Message()), e.Code());
  } catch (const EAbortError& e) {
    throw EAbortError(WithDeliveryInDoubt(e.Message()));
  } catch (const ESockError& e) {
    throw ESockError(WithDeliveryInDoubt(e.Message()));
  }
  record_.progress = TSendProgress::kAccepted;
  Settle(TRecipientFate::kDelivered);
}

}  // namespace

void DropConnection(TTidewire& wire) {
  if (!wire.Connected) return;
  try {
    wire.TTidewire::Disconnect();
  } catch (const Exception&) {
    // The connection is beyond use either way; the first error tells why.
  }
}

void SendToRecipients(TSessionView& session, const TEnvelope& envelope, const TSendPolicy& policy,
                      const std::string& header, TStream& body, TSendRecord& record) {
  size_t perTransaction = policy.maxRecipients > 0 ? static_cast<size_t>(policy.maxRecipients) : record.outcomes.size();
  if (policy.allRequired && record.outcomes.size() > perTransaction) {
    throw Exception(FillPlaceholder(kErrRecipientLimit, std::to_string(perTransaction)));
  }
  std::deque<size_t> waiting(record.outcomes.size());
  std::iota(waiting.begin(), waiting.end(), size_t{0});
  size_t delivered = 0;
  // A send in one transaction, as most are, tells of none.
  bool split = perTransaction < record.outcomes.size();
  for (int number = 1; !waiting.empty(); ++number) {
    const auto batchEnd = waiting.begin() + static_cast<std::ptrdiff_t>(std::min(perTransaction, waiting.size()));
    std::vector<size_t> batch(waiting.begin(), batchEnd);
    waiting.erase(waiting.begin(), batchEnd);
    const std::string name = FillPlaceholder(kNoteTransaction, std::to_string(number));
    if (split) session.note(name + std::to_string(batch.size()) + std::string(kNoteRecipients));
    TMailTransaction transaction(session, envelope, record, std::move(batch));
    record.progress = TSendProgress::kEndNotSent;
    transaction.Open(policy.allRequired);
    const std::vector<size_t>& accepted = transaction.Accepted();
    const std::vector<size_t>& held = transaction.Waiting();
    waiting.insert(waiting.begin(), held.begin(), held.end());
    if (!held.empty()) {
      split = true;
      session.note(name + std::string(kNoteLimit) + smtp_text::WithoutLineEnd(transaction.LimitReply().Last()));
      // What the server took once it takes again: further groups ask no more.
      perTransaction = std::min(perTransaction, accepted.size());
    }
    if (accepted.empty()) {
      if (split) session.note(name + std::string(kNoteNobodyAccepted));
      continue;
    }
    transaction.SendMessage(header, body, policy.quitAfterLast && waiting.empty());
    delivered += accepted.size();
    if (split) {
      session.note(name + std::string(kNoteDelivered) + std::to_string(accepted.size()) +
                   std::string(kNoteRecipients));
    }
  }
  if (delivered == 0) throw Exception(std::string(kErrNoRecipientAccepted));
}
