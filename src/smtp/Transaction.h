#pragma once
// The send of one composed message to its recipients: as many mail
// transactions as the server's limits take, each an object with its own
// recipients and their outcomes, over a narrow view of the session (the
// dialogue's engine on its connection). The session (TQxSMTP) composes the
// message and reads the record of what the send did.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/Stream.h"
#include "smtp/Dialogue.h"

/// How far the latest send got with the message.
enum class TSendProgress : std::uint8_t {
  kEndNotSent,  // nothing went out that the server could deliver
  kEndSent,     // the end of the message went out, and no answer to it was read
  kAccepted,    // the server took the message (a 2xx answer to its end)
};

/// A recipient that the server refused.
struct TRefusedRecipient {
  std::string Entry;  // as written in its list
  std::string Reply;  // the refusal's last line, line end kept (or what went wrong with the reply)
  int Code;           // the refusal's code; -1 for none
};

/// What the latest send did for one recipient.
enum class TRecipientFate : std::uint8_t {
  kNotSent,    // not tried, or its transaction failed before the message's end went out
  kDelivered,  // accepted in a transaction whose end the server took
  kInDoubt,    // accepted in a transaction whose end went out without a clear answer
  kRefused,    // refused (the record's refused list tells how)
};

/// One recipient of the latest send.
struct TRecipientOutcome {
  std::string Entry;    // as written in its list (the first entry that names the mailbox)
  std::string Mailbox;  // the address its RCPT TO names
  TRecipientFate Fate;
};

/// What the latest send did, kept by the session for its callers and
/// filled by the send's transactions.
struct TSendRecord {
  TSendProgress progress = TSendProgress::kEndNotSent;
  /// Refused recipients in the order their replies came; a recipient is
  /// refused only by a reply to its own RCPT TO.
  std::vector<TRefusedRecipient> refused;
  int accepted = 0;
  /// Each mailbox of the send once, in the order of the lists.
  std::vector<TRecipientOutcome> outcomes;
  /// QUIT went out with the message's end: the goodbye only reads its reply.
  bool quitSent = false;
};

/// The envelope's words, the same in every transaction of a send.
struct TEnvelope {
  std::string sender;               // the argument of MAIL FROM
  std::string mailParameters;       // after MAIL FROM's ">" (" SIZE=1234 ..."), empty or with a leading blank
  std::string recipientParameters;  // after each RCPT TO's ">" (" NOTIFY=..."), likewise
};

/// How a send splits its recipients and ends.
struct TSendPolicy {
  /// At most this many recipients in one transaction; 0: as many as the server takes.
  int maxRecipients = 0;
  /// All or nothing: a refused recipient, or a limit below the recipients'
  /// number, sends to nobody.
  bool allRequired = false;
  /// With PIPELINING, QUIT goes with the end of the last message
  /// (RFC 2920): the session ends with the send.
  bool quitAfterLast = false;
};

/// What a send needs of its session.
struct TSessionView {
  TSmtpDialogue dialogue;  // the engine on the session's connection, with its refusal events
  bool pipelining = false;
  /// Reports what the send decided on its own (transactions, limits).
  std::function<void(const std::string& note)> note;
};

/// Sends the message (header block, then body) to the recipients of
/// record.outcomes, whose fates it settles, in as many transactions as the
/// server and policy take: each opens with RSET and names each of its
/// recipients once. A server that takes no more recipients in a
/// transaction (452, or 552 with 5.5.3, after one was accepted) gets the
/// message for those it took, then a new transaction for the rest; further
/// transactions ask for no more than it took. Such a reply to a
/// transaction's first recipients is their own (transient) refusal. No
/// DATA goes out in lock-step when nobody of the transaction was accepted;
/// a 354 to DATA sent ahead in a group is ended with a lone "." then.
/// Raises the refusal of RSET, MAIL FROM, DATA (anything but 354: after a
/// positive one the connection is dropped, as the server is out of step) or
/// ".", a lost connection as the reply that did not come (code 0),
/// kErrNoRecipientAccepted when no transaction had a recipient accepted,
/// kErrNotEveryRecipient or kErrRecipientLimit under allRequired, the
/// data's socket errors and time-outs, and EFileChanged (after dropping the
/// connection). Once "." has gone out, a failure without a clear reply
/// carries kMayHaveBeenDelivered on a line of its own. A transaction that
/// fails raises after the earlier ones delivered.
void SendToRecipients(TSessionView& session, const TEnvelope& envelope, const TSendPolicy& policy,
                      const std::string& header, TStream& body, TSendRecord& record);

/// Closes wire's connection without QUIT; an error of the close is dropped,
/// so that the error that made the dialogue end stands.
void DropConnection(TTidewire& wire);
