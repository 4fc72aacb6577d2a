#include "smtp/Retry.h"

#include <algorithm>

#include "net/SocketTexts.h"

bool IsTransientFailure(const TQxSMTP& smtp, const std::exception& failure) {
  if (smtp.Progress() == TSendProgress::kAccepted) return false;
  // A service the job asked before the server (the token endpoint) may answer later.
  if (dynamic_cast<const ETransient*>(&failure) != nullptr) return true;
  // A file that was being written while it was sent is whole later; the
  // server dropped what it got.
  if (dynamic_cast<const EFileChanged*>(&failure) != nullptr) return true;
  const auto* message = dynamic_cast<const Exception*>(&failure);
  const auto* reply = dynamic_cast<const EReplyError*>(&failure);
  const std::vector<TRefusedRecipient>& refused = smtp.RefusedRecipients();
  // Where no recipient took the message, their refusals tell why it failed.
  const auto recipientsDecide = [&refused] {
    return std::all_of(refused.begin(), refused.end(),
                       [](const TRefusedRecipient& r) { return IsTransientCode(r.Code); });
  };
  const bool nobodyAccepted = !refused.empty() && smtp.AcceptedRecipients() == 0;
  // A clear answer tells, whenever it came: a refusal is no delivery.
  if (reply != nullptr && reply->Code() > 0) {
    return nobodyAccepted ? recipientsDecide() : IsTransientCode(reply->Code());
  }
  if (smtp.Progress() == TSendProgress::kEndSent) return false;
  // Nobody took the message: all or nothing refused it, or nobody was accepted.
  if (message != nullptr &&
      (message->Message() == kErrNotEveryRecipient || message->Message() == kErrNoRecipientAccepted)) {
    return recipientsDecide();
  }
  if (reply != nullptr) return reply->Code() == 0;  // the server hung up; a reply without a code would come again
  if (dynamic_cast<const ETlsError*>(&failure) != nullptr) return false;
  if (dynamic_cast<const ESockError*>(&failure) != nullptr) {
    // A name the resolver could not look up just now is worth another try;
    // one that does not exist, or is too long, is not.
    if (message->Message().starts_with(kErrNullRemoteAddress)) return smtp.LastError == kWsaTryAgain;
    return message->Message() != kErrHostTooLong;
  }
  // The connection ended while the message was being composed.
  return message != nullptr && message->Message() == kErrNotConnected;
}
