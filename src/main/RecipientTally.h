#pragma once
// What became of a job's recipients over all its attempts: who has the
// message, whose refusal stands, who is still waiting, and the lines that
// tell it in the outcome boxes and the run log.

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/Qxsmtp.h"

/// The recipients' side of a job's outcome, kept over its attempts. Owned by
/// the status window; reads the SMTP client's latest send and its message.
class TRecipientTally {
 public:
  /// Takes in the latest send before another attempt: the recipients it
  /// delivered to and those refused for good (5xx) join the client's
  /// SettledMailboxes, so that no attempt sends to them again.
  void Settle(TQxSMTP& smtp);
  /// True when the latest send was refused for some recipient with a reply
  /// that may pass (4xx): another attempt may reach them.
  static bool HasPassingRefusals(const TQxSMTP& smtp);
  /// A line for each refusal that stands, earlier attempts' first: prefix
  /// ("Not accepted: "), the mailbox, ": " and the reply; the first line of
  /// each well-known refusal ends with a CR and its RefusalAdvice.
  std::vector<std::string> RefusalLines(const TQxSMTP& smtp, std::string_view prefix) const;
  /// Lines for a job that failed after the message reached some recipients:
  /// "Delivered to 100 of 250 recipients." and a line for each that did not
  /// get it for sure ("Not delivered: " or "Perhaps delivered: " and the
  /// mailbox); with forLog, lower-case and with a line for each delivered
  /// one too. Empty when it reached nobody.
  std::vector<std::string> PartialDeliveryLines(TQxSMTP& smtp, bool forLog) const;

 private:
  std::set<std::string> delivered_;               // keys (mailbox::Key), over the attempts before the latest
  std::vector<TRefusedRecipient> refusals_;       // those that stand, of the attempts before the latest
};
