// The reply engine and the pipeline of a send against whatever a server may
// answer: the input's first byte chooses the client's settings, the rest is
// a scripted server's script in its text form (ParseScript), so that the
// mutations are replies of any code and length, replies split anywhere,
// closes and resets at every point, replies out of turn. The send must end
// (every wait is bounded) with success or one of the client's own
// exceptions, and its record must hold together.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "core/Exceptions.h"
#include "smtp/Qxsmtp.h"
#include "support/ScriptedServer.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

/// Checks what the send left behind, however it ended: a recipient is
/// refused once at most, only by a reply, and a send that succeeded
/// settled every recipient, delivering to one at least.
void CheckRecord(const TQxSMTP& smtp, bool sent) {
  std::set<std::string> refused;
  for (const TRefusedRecipient& recipient : smtp.RefusedRecipients()) {
    Require(refused.insert(recipient.Entry).second);
    Require(recipient.Code != 0);
  }
  size_t refusedFates = 0;
  size_t delivered = 0;
  for (const TRecipientOutcome& outcome : smtp.RecipientOutcomes()) {
    if (outcome.Fate == TRecipientFate::kRefused) ++refusedFates;
    if (outcome.Fate == TRecipientFate::kDelivered) ++delivered;
  }
  Require(refusedFates == refused.size());
  if (sent) Require(delivered > 0 && delivered + refusedFates == smtp.RecipientOutcomes().size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t settings = data[0];
  std::vector<testserver::Step> script;
  try {
    script = testserver::ParseScript(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  } catch (const std::invalid_argument&) {
    return 0;
  }
  for (const testserver::Step& step : script) {
    // Waits and TLS would only slow the search down.
    if (step.kind == testserver::Step::Kind::kWait || step.kind == testserver::Step::Kind::kStall ||
        step.kind == testserver::Step::Kind::kStartTls || step.kind == testserver::Step::Kind::kRenegotiate ||
        step.kind == testserver::Step::Kind::kTickets || step.kind == testserver::Step::Kind::kExpectTlsClose ||
        step.kind == testserver::Step::Kind::kNextConnection || step.kind == testserver::Step::Kind::kSendFragments) {
      return 0;
    }
  }
  testserver::ServerOptions options;
  options.deadline = std::chrono::milliseconds(3000);
  options.closeGrace = std::chrono::milliseconds(20);
  testserver::ScriptedServer server(script, options);

  TQxSMTP smtp(nullptr);
  smtp.Host = "127.0.0.1";
  smtp.Port = server.Port();
  smtp.TimeOut = 60;  // a server that says nothing more ends the run soon
  smtp.UserID = "x";
  smtp.PostMessage().FromAddress = "s@x";
  // Bits 0-1: recipients (1 to 4, one of them twice); 2-3: MaxRecipients
  // (none, 1, 2); 4: QuitAfterSend; 5: all or nothing; 6: a login, which
  // greets with EHLO (PIPELINING is the script's to offer); 7: DSN.
  const int recipients = (settings & 3) + 1;
  for (int i = 0; i < recipients; ++i) smtp.PostMessage().ToAddress().Add("r" + std::to_string(i) + "@x");
  smtp.PostMessage().ToBlindCarbonCopy().Add("r0@X");
  smtp.MaxRecipients = (settings >> 2) & 3;
  smtp.QuitAfterSend = (settings & 16) != 0;
  smtp.AllRecipientsRequired = (settings & 32) != 0;
  if (settings & 64) {
    smtp.LoginName = "u";
    smtp.Password = "p";
    smtp.Encryption = ecNone;
  }
  if (settings & 128) smtp.DsnNotify = "FAILURE";
  smtp.PostMessage().Body().Add("Hello");
  bool sent = false;
  try {
    smtp.Connect();
    smtp.SendMail();
    sent = true;
    Require(smtp.Progress() == TSendProgress::kAccepted);
    smtp.Disconnect();
  } catch (const Exception&) {
    // Every failure the server can cause is one of the client's own.
  }
  CheckRecord(smtp, sent);
  server.Stop();
  return 0;
}
