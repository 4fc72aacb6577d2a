// The SMTP dialogue of TQxSMTP: Connect, SendMail and Disconnect as a table
// of steps over the socket component's Transaction.

#include "smtp/Qxsmtp.h"

#include <algorithm>
#include <iterator>

#include "core/Exceptions.h"
#include "smtp/MessageText.h"

using smtp_text::AppendDataLine;
using smtp_text::AttachmentFileName;
using smtp_text::kCrLf;

namespace {

/// What a step does when its reply is not accepted.
enum class OnRefusal {
  kRaiseReply,          // fail with the reply line
  kAskAuthentication,   // OnAuthenticationFailed once, then "Authentication failed"
  kReportRecipient,     // OnRecipientNotFound with the entry; the transaction goes on
  kFailureThenRaise,    // OnFailure, then fail with the reply line
};

/// One step of the SMTP dialogue: the line sent (command, argument,
/// closing), the highest reply code that counts as acceptance, what a
/// refusal does, and how to name the step when the server hangs up instead.
struct DialogueStep {
  std::string_view command;
  std::string_view closing;
  int highestAccepted;
  OnRefusal refusal;
  std::string_view missingReply;
};

// The SMTP dialogue, in the order in which the lines are sent. Between DATA
// and "." go the header block and the body stream, with no reply read.
constexpr DialogueStep kGreeting{"", "", 399, OnRefusal::kRaiseReply, "no greeting"};
constexpr DialogueStep kHelo{"HELO ", "", 299, OnRefusal::kAskAuthentication, "no reply to HELO"};
constexpr DialogueStep kRset{"RSET", "", 399, OnRefusal::kRaiseReply, "no reply to RSET"};
constexpr DialogueStep kMailFrom{"MAIL FROM:<", ">", 399, OnRefusal::kRaiseReply, "no reply to MAIL FROM"};
constexpr DialogueStep kRcptTo{"RCPT TO:<", ">", 300, OnRefusal::kReportRecipient, "no reply to RCPT TO"};
constexpr DialogueStep kData{"DATA", "", 399, OnRefusal::kRaiseReply, "no reply to DATA"};
constexpr DialogueStep kDataEnd{".", "", 399, OnRefusal::kFailureThenRaise, "no reply to the end of the message"};
constexpr DialogueStep kQuit{"QUIT", "", 339, OnRefusal::kRaiseReply, "no reply to QUIT"};

/// Bytes sent over a connection the server has already dropped fail with
/// one of these; at "QUIT" that only confirms the end.
constexpr std::int32_t kHangUpErrors[] = {10053, 10054, 10057, 10058};

/// Sets the busy flag unless it is already set, and clears it on the way
/// out only when this scope set it.
class BusyScope {
 public:
  explicit BusyScope(bool& flag) : flag_(flag), owner_(!flag) { flag_ = true; }
  ~BusyScope() {
    if (owner_) flag_ = false;
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& flag_;
  bool owner_;
};

/// The code of a reply line: three digits from 200 to 599 not followed by a
/// further digit; -1 for an empty line, a line without such a code, or a
/// preliminary 1xx reply, which no SMTP step may take as an answer.
int ReplyCode(const std::string& line) {
  auto digit = [&](size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
  if (!digit(0) || !digit(1) || !digit(2) || digit(3) || line[0] < '2' || line[0] > '5') return -1;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

/// A line of a multi-line reply that another line follows.
bool IsContinuation(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || (line.size() >= 4 && line[3] == '-'));
}

void RefuseLineBreak(const std::string& what, const std::string& value) {
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw Exception(FillPlaceholder(kErrLineBreak, what));
  }
}

/// itemName names one entry of list, as "ToAddress entry" for example.
void RefuseLineBreaks(const std::string& itemName, const TStringList& list) {
  for (int i = 0; i < list.Count(); ++i) RefuseLineBreak(itemName + " " + std::to_string(i + 1), list[i]);
}

bool Accepts(const DialogueStep& step, int code) { return code >= 200 && code <= step.highestAccepted; }

/// Sends the step's line and returns the first line of the reply. Once the
/// server has hung up (the close was noticed and the socket replaced) there
/// is nobody to send to: the step meets the empty reply of a closed
/// connection, whatever moment the close was noticed at.
std::string Converse(TQxSMTP& smtp, const DialogueStep& step, std::string_view argument = {}) {
  if (!smtp.Connected) return {};
  std::string command(step.command);
  command += argument;
  command += step.closing;
  std::string reply;
  smtp.Transaction(command, reply);
  return reply;
}

/// What a refused step does, as its row says: reports the recipient entry
/// and lets the transaction go on, or raises (after OnFailure where the row
/// says so). An empty reply means the server hung up.
void Refused(TQxSMTP& smtp, const DialogueStep& step, const std::string& reply, const std::string& entry = {}) {
  if (step.refusal == OnRefusal::kReportRecipient) {
    if (smtp.OnRecipientNotFound) smtp.OnRecipientNotFound(entry);
    return;
  }
  if (step.refusal == OnRefusal::kFailureThenRaise && smtp.OnFailure) smtp.OnFailure(&smtp);
  if (reply.empty()) throw Exception(FillPlaceholder(kErrServerClosed, step.missingReply));
  if (step.refusal == OnRefusal::kAskAuthentication) throw Exception(std::string(kErrAuthenticationFailed));
  throw Exception(reply);
}

/// Sends the line of a step that fails when refused.
void Require(TQxSMTP& smtp, const DialogueStep& step, std::string_view argument = {}) {
  const std::string reply = Converse(smtp, step, argument);
  if (!Accepts(step, ReplyCode(reply))) Refused(smtp, step, reply);
}

/// Reads the rest of a multi-line reply: reply becomes its last line. A
/// server that hangs up in the middle fails the step at once.
void CompleteReply(TQxSMTP& smtp, const DialogueStep& step, std::string& reply) {
  while (IsContinuation(reply)) {
    smtp.ReadLn(reply);
    if (reply.empty()) Refused(smtp, step, reply);
  }
}

}  // namespace

// ---------------------------------------------------------------------------

TQxSMTP::TQxSMTP(TComponent* owner) : TTidewire(owner) { Port = 25; }

TQxSMTP::~TQxSMTP() = default;

std::string TQxSMTP::ExtractAddress(const std::string& entry) {
  std::string field;
  if (entry.find('<') != std::string::npos) {
    ExtractField(entry, '<', 2, field);
    std::string mailbox;
    ExtractField(field, '>', 1, mailbox);
    return mailbox;
  }
  if (entry.find(':') != std::string::npos) {
    ExtractField(entry, ':', 2, field);
    return field;
  }
  return entry;
}

// --- Connect and Disconnect ------------------------------------------------

void TQxSMTP::Connect() {
  RefuseLineBreak("UserID", UserID);
  {
    BusyScope busy(busy_);
    TTidewire::Connect();
    try {
      Greet();
      Handshake();
    } catch (...) {
      Disconnect();  // an error of its own replaces the first one
      throw;
    }
  }
  if (OnConnect) OnConnect(this);
}

void TQxSMTP::Greet() {
  std::string reply;
  ReadLn(reply);
  const int code = ReplyCode(reply);
  CompleteReply(*this, kGreeting, reply);
  if (!Accepts(kGreeting, code)) Refused(*this, kGreeting, reply);
}

void TQxSMTP::Handshake() {
  for (int retries = 0;; ++retries) {
    std::string reply = Converse(*this, kHelo, UserID);
    const int code = ReplyCode(reply);
    CompleteReply(*this, kHelo, reply);
    if (Accepts(kHelo, code)) return;
    bool handled = false;
    if (!reply.empty() && retries == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
    if (!handled) Refused(*this, kHelo, reply);
  }
}

void TQxSMTP::Disconnect() {
  Canceled = false;  // an earlier Abort must not stop the goodbye
  try {
    SayGoodbye();
  } catch (...) {
    TTidewire::Disconnect();
    throw;
  }
  TTidewire::Disconnect();
}

void TQxSMTP::SayGoodbye() {
  // A server that hung up already gets no "QUIT" (Converse), and one that
  // hangs up instead of answering it has ended the connection as asked.
  std::string reply;
  try {
    reply = Converse(*this, kQuit);
  } catch (const EAbortError&) {
    throw;
  } catch (const ESockError&) {
    if (std::find(std::begin(kHangUpErrors), std::end(kHangUpErrors), LastError) == std::end(kHangUpErrors)) throw;
    return;
  }
  if (!reply.empty() && !Accepts(kQuit, ReplyCode(reply))) Refused(*this, kQuit, reply);
}

// --- SendMail ----------------------------------------------------------------

void TQxSMTP::SendMail() {
  if (busy_) return;
  {
    BusyScope busy(busy_);
    RefuseLineBreaksInMessage();
    ComposeMessage();
    CheckConnection();
    RequireCompleteMessage();
    if (OnSendStart) OnSendStart(this);
    RefuseLineBreaksInEnvelope();
    const std::string header = HeaderBlock();

    Require(*this, kRset);
    Require(*this, kMailFrom, post_message_.FromAddress);
    SendRecipients();
    Require(*this, kData);
    Write(header);
    SendStream(body_stream_);
    Require(*this, kDataEnd);

    if (ClearParams) {
      post_message_.ToAddress().Clear();
      post_message_.ToCarbonCopy().Clear();
      post_message_.ToBlindCarbonCopy().Clear();
      post_message_.Attachments().Clear();
    }
  }
  if (OnSuccess) OnSuccess(this);
}

void TQxSMTP::RequireCompleteMessage() {
  for (int retries = 0;; ++retries) {
    const bool noSender = post_message_.FromAddress.empty();
    const bool noRecipient = post_message_.ToAddress().Count() == 0 && post_message_.ToCarbonCopy().Count() == 0 &&
                             post_message_.ToBlindCarbonCopy().Count() == 0;
    if (!noSender && !noRecipient) return;
    bool handled = false;
    if (retries == 0 && OnHeaderIncomplete) {
      OnHeaderIncomplete(handled, noSender ? kHeaderMissingSender : kHeaderMissingRecipient);
    }
    if (!handled) throw Exception(std::string(kErrIncompleteHeader));
  }
}

void TQxSMTP::SendRecipients() {
  for (TStringList* list : {&post_message_.ToAddress(), &post_message_.ToCarbonCopy(),
                            &post_message_.ToBlindCarbonCopy()}) {
    const int count = list->Count();
    // A handler may shorten the list meanwhile; the entries gone are skipped.
    for (int i = 0; i < count && i < list->Count(); ++i) {
      const std::string entry = (*list)[i];
      const std::string mailbox = ExtractAddress(entry);
      if (mailbox.empty()) continue;
      const std::string reply = Converse(*this, kRcptTo, mailbox);
      if (!Accepts(kRcptTo, ReplyCode(reply))) Refused(*this, kRcptTo, reply, entry);
    }
  }
}

std::string TQxSMTP::HeaderBlock() {
  std::string block;
  for (const std::string& line : final_header_.Items()) AppendDataLine(block, line);
  block += kCrLf;
  block += kCrLf;
  if (block.size() >= static_cast<size_t>(kIoBufferData)) {
    throw ERangeError(FillPlaceholder(kErrHeaderTooLong, std::to_string(block.size())));
  }
  return block;
}

void TQxSMTP::RefuseLineBreaksInMessage() {
  const TPostMessage& m = post_message_;
  RefuseLineBreak("FromAddress", m.FromAddress);
  RefuseLineBreak("FromName", m.FromName);
  RefuseLineBreak("Subject", m.Subject);
  RefuseLineBreak("ReplyTo", m.ReplyTo);
  RefuseLineBreak("Date", m.Date);
  RefuseLineBreak("LocalProgram", m.LocalProgram);
  RefuseLineBreak("Charset", Charset);
  RefuseLineBreaksInRecipients();
  const TStringList& attachments = post_message_.Attachments();
  for (int i = 0; i < attachments.Count(); ++i) {
    RefuseLineBreak("Attachments entry " + std::to_string(i + 1), AttachmentFileName(attachments[i]));
  }
}

void TQxSMTP::RefuseLineBreaksInRecipients() {
  RefuseLineBreaks("ToAddress entry", post_message_.ToAddress());
  RefuseLineBreaks("ToCarbonCopy entry", post_message_.ToCarbonCopy());
  RefuseLineBreaks("ToBlindCarbonCopy entry", post_message_.ToBlindCarbonCopy());
}

void TQxSMTP::RefuseLineBreaksInEnvelope() {
  // Handlers ran since the first check and may have supplied new values.
  RefuseLineBreak("FromAddress", post_message_.FromAddress);
  RefuseLineBreaksInRecipients();
  RefuseLineBreaks("FinalHeader line", final_header_);
}
