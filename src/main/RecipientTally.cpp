#include "main/RecipientTally.h"

#include <algorithm>

#include "main/RefusalAdvice.h"
#include "smtp/Mailbox.h"
#include "smtp/MessageText.h"
#include "smtp/Retry.h"

namespace {

constexpr std::string_view kDelivered = "Delivered to %s of %s recipients.";
constexpr std::string_view kLogDelivered = "delivered to %s of %s recipients";
constexpr std::string_view kNotDelivered = "Not delivered: ";
constexpr std::string_view kPerhapsDelivered = "Perhaps delivered: ";
constexpr std::string_view kLogNotDelivered = "not delivered: ";
constexpr std::string_view kLogPerhapsDelivered = "perhaps delivered: ";
constexpr std::string_view kLogDeliveredTo = "delivered: ";

bool PermanentCode(int code) { return code >= 500 && code <= 599; }

}  // namespace

void TRecipientTally::Settle(TQxSMTP& smtp) {
  for (const TRecipientOutcome& recipient : smtp.RecipientOutcomes()) {
    if (recipient.Fate != TRecipientFate::kDelivered) continue;
    delivered_.insert(mailbox::Key(recipient.Mailbox));
    smtp.SettledMailboxes.insert(recipient.Mailbox);
  }
  for (const TRefusedRecipient& refused : smtp.RefusedRecipients()) {
    if (!PermanentCode(refused.Code)) continue;
    refusals_.push_back(refused);
    smtp.SettledMailboxes.insert(mailbox::Extract(refused.Entry));
  }
}

bool TRecipientTally::HasPassingRefusals(const TQxSMTP& smtp) {
  const std::vector<TRefusedRecipient>& refused = smtp.RefusedRecipients();
  return std::any_of(refused.begin(), refused.end(),
                     [](const TRefusedRecipient& r) { return IsTransientCode(r.Code); });
}

std::vector<std::string> TRecipientTally::RefusalLines(const TQxSMTP& smtp, std::string_view prefix) const {
  std::vector<std::string> lines;
  std::set<std::string_view> advised;
  const auto add = [&](const TRefusedRecipient& recipient) {
    std::string line = std::string(prefix) + mailbox::Extract(recipient.Entry) + ": " +
                       smtp_text::WithoutLineEnd(recipient.Reply);
    // Sixty recipients refused alike need the advice once.
    const std::string_view advice = RefusalAdvice(recipient.Reply);
    if (!advice.empty() && advised.insert(advice).second) {
      line += '\r';  // piece by piece: MinGW's GCC 12 warns falsely (-Wrestrict) of operator+
      line += advice;
    }
    lines.push_back(std::move(line));
  };
  std::for_each(refusals_.begin(), refusals_.end(), add);
  std::for_each(smtp.RefusedRecipients().begin(), smtp.RefusedRecipients().end(), add);
  return lines;
}

std::vector<std::string> TRecipientTally::PartialDeliveryLines(TQxSMTP& smtp, bool forLog) const {
  // Mailboxes compare by their keys: one mailbox may be written several ways.
  std::set<std::string> delivered = delivered_;
  std::set<std::string> inDoubt;
  std::set<std::string> refused;
  for (const TRefusedRecipient& recipient : refusals_) refused.insert(mailbox::Key(mailbox::Extract(recipient.Entry)));
  for (const TRecipientOutcome& recipient : smtp.RecipientOutcomes()) {
    const std::string key = mailbox::Key(recipient.Mailbox);
    if (recipient.Fate == TRecipientFate::kDelivered) delivered.insert(key);
    if (recipient.Fate == TRecipientFate::kInDoubt) inDoubt.insert(key);
    if (recipient.Fate == TRecipientFate::kRefused) refused.insert(key);
  }
  if (delivered.empty()) return {};
  // Every mailbox of the message once, in the order of its lists.
  std::vector<std::string> mailboxes;
  std::set<std::string> seen;
  for (const TStringList* list : smtp.RecipientLists()) {
    for (const std::string& entry : list->Items()) {
      std::string address = mailbox::Extract(entry);
      if (!address.empty() && seen.insert(mailbox::Key(address)).second) mailboxes.push_back(std::move(address));
    }
  }
  std::vector<std::string> lines{FillPlaceholder(
      FillPlaceholder(forLog ? kLogDelivered : kDelivered, std::to_string(delivered.size())),
      std::to_string(mailboxes.size()))};
  for (const std::string& address : mailboxes) {
    const std::string key = mailbox::Key(address);
    if (delivered.count(key) != 0) {
      if (forLog) lines.push_back(std::string(kLogDeliveredTo) + address);
    } else if (inDoubt.count(key) != 0) {
      lines.push_back(std::string(forLog ? kLogPerhapsDelivered : kPerhapsDelivered) + address);
    } else if (refused.count(key) == 0) {
      lines.push_back(std::string(forLog ? kLogNotDelivered : kNotDelivered) + address);
    }
  }
  return lines;
}
