// The SMTP dialogue of TQxSMTP: Connect, SendMail and Disconnect as a table
// of steps run by the dialogue engine (Dialogue.h).

#include "smtp/Qxsmtp.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <numeric>
#include <vector>

#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "smtp/MessageText.h"

using smtp_text::AppendDataLine;
using smtp_text::AttachmentFileName;
using smtp_text::kCrLf;

namespace {

// The SMTP dialogue, in the order in which the lines are sent. An encrypted
// one (TLS from the first byte, or after STARTTLS) greets with EHLO instead
// of HELO, and after STARTTLS with a second EHLO inside TLS; a login follows
// the last EHLO (Authentication.cpp). Between DATA and "." go the header
// block and the body stream, with no reply read. A preliminary 1xx reply is
// no answer to any step.
constexpr DialogueStep kGreeting{"", "", 200, 399, OnRefusal::kRaiseReply, kGreetingReply};
constexpr DialogueStep kHelo{"HELO ", "", 200, 299, OnRefusal::kAskAuthentication, "reply to HELO"};
constexpr DialogueStep kEhlo{"EHLO ", "", 200, 299, OnRefusal::kAskAuthentication, "reply to EHLO"};
constexpr DialogueStep kStartTls{"STARTTLS", "", 220, 220, OnRefusal::kRefuseEncryption, "reply to STARTTLS"};
constexpr DialogueStep kRset{"RSET", "", 200, 399, OnRefusal::kRaiseReply, "reply to RSET"};
constexpr DialogueStep kMailFrom{"MAIL FROM:<", ">", 200, 399, OnRefusal::kRaiseReply, "reply to MAIL FROM"};
constexpr DialogueStep kRcptTo{"RCPT TO:<", ">", 200, 300, OnRefusal::kReportRecipient, "reply to RCPT TO"};
constexpr DialogueStep kData{"DATA", "", 200, 399, OnRefusal::kRaiseReply, "reply to DATA"};
// Only a completion reply means that the server took the message.
constexpr DialogueStep kDataEnd{".", "", 200, 299, OnRefusal::kFailureThenRaise, "reply to the end of the message"};
constexpr DialogueStep kQuit{"QUIT", "", 200, 339, OnRefusal::kRaiseReply, "reply to QUIT"};

/// How long a server that hung up in the middle of the data may take to
/// hand over its last line.
constexpr std::int32_t kPartingWaitMilliseconds = 1000;

/// The longest name a DNS domain can have.
constexpr size_t kMaxDomainLength = 253;

/// Sets a flag (the busy flag) for the life of the scope and puts back what
/// it was: a scope nested in another that set it leaves it set.
class RaisedFlag {
 public:
  explicit RaisedFlag(bool& flag) : flag_(flag), before_(flag) { flag_ = true; }
  ~RaisedFlag() { flag_ = before_; }
  RaisedFlag(const RaisedFlag&) = delete;
  RaisedFlag& operator=(const RaisedFlag&) = delete;

 private:
  bool& flag_;
  bool before_;
};

/// Empties the message stream when the scope ends, however it ends: its
/// files are closed, and on Windows others may write to them again.
class EmptiedOnExit {
 public:
  explicit EmptiedOnExit(TMessageStream& stream) : stream_(stream) {}
  ~EmptiedOnExit() { stream_.Clear(); }
  EmptiedOnExit(const EmptiedOnExit&) = delete;
  EmptiedOnExit& operator=(const EmptiedOnExit&) = delete;

 private:
  TMessageStream& stream_;
};

/// A name with a domain that EHLO can carry: letters, digits, "-" and "."
/// (the system may know a name that is no such thing).
bool IsDomainName(const std::string& name) {
  if (name.empty() || name.size() > kMaxDomainLength || name.find('.') == std::string::npos) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
  });
}

/// The address literal of RFC 5321: "[192.0.2.7]", "[IPv6:2001:db8::7]".
std::string AddressLiteral(const platform::SocketAddress& address) {
  const std::string text = platform::AddressText(address);
  return address.family == platform::AddressFamily::kIPv6 ? "[IPv6:" + text + "]" : "[" + text + "]";
}

void RefuseLineBreak(const std::string& what, const std::string& value) {
  if (smtp_text::BreaksLine(value)) {
    throw Exception(FillPlaceholder(kErrLineBreak, what));
  }
}

/// itemName names one entry of list, as "ToAddress entry" for example.
void RefuseLineBreaks(const std::string& itemName, const TStringList& list) {
  for (int i = 0; i < list.Count(); ++i) RefuseLineBreak(itemName + " " + std::to_string(i + 1), list[i]);
}

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

/// text as xtext (RFC 3461): "+", "=" and what is not printable ASCII as
/// "+" and two hex digits.
std::string XText(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > ' ' && byte < 127 && c != '+' && c != '=') {
      encoded += c;
    } else {
      encoded += '+';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return encoded;
}

/// text, then on a line of its own that the message may have been delivered.
std::string WithDeliveryInDoubt(const std::string& text) {
  return text + (!text.empty() && text.back() == '\n' ? "" : std::string(kCrLf)) + std::string(kMayHaveBeenDelivered);
}

}  // namespace

// ---------------------------------------------------------------------------

TQxSMTP::TQxSMTP(TComponent* owner) : TTidewire(owner) { Port = 25; }

TQxSMTP::~TQxSMTP() = default;

std::string TQxSMTP::ExtractAddress(const std::string& entry) {
  std::string mailbox = entry;
  if (entry.find('<') != std::string::npos) {
    std::string field;
    ExtractField(entry, '<', 2, field);
    ExtractField(field, '>', 1, mailbox);
  } else if (entry.find(':') != std::string::npos) {
    ExtractField(entry, ':', 2, mailbox);
  }
  // "Bob: bob@example.com" has a blank before the mailbox, and a line may
  // have more around it; a path has none (RFC 5321), and strict servers
  // refuse "RCPT TO:< bob@example.com>".
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  const auto first = std::find_if_not(mailbox.begin(), mailbox.end(), blank);
  const auto last = std::find_if_not(mailbox.rbegin(), std::make_reverse_iterator(first), blank).base();
  return std::string(first, last);
}

// --- Connect and Disconnect ------------------------------------------------

// Each public operation lets no secret out in an error's text: a server
// may echo the credentials in a refusal that the error then carries.
void TQxSMTP::Connect() try {
  // The password serves this connection's AUTH alone, whatever comes of it.
  const TWipeOnExit forgetPassword(Password);
  ForgetLastSend();
  RefuseLineBreak("UserID", UserID);
  RefuseLineBreak("LoginName", LoginName);
  RefuseLineBreak("Password", Password);
  if (CredentialTooLong(LoginName) || CredentialTooLong(Password)) {
    throw Exception(std::string(kErrCredentialsTooLong));
  }
  {
    RaisedFlag busy(busy_);
    capabilities_ = {};
    TTidewire::Connect();
    try {
      if (Encryption == ecTls) StartTls(TlsSettings());
      AwaitGreeting();
      if (Encryption == ecStartTls) {
        SayHello();
        RequestTls();
      }
      SayHello();
      if (!LoginName.empty()) LogIn();
    } catch (const ESockError&) {
      Abandon();
      throw;
    } catch (...) {
      // A connection that must be encrypted carries nothing in clear but
      // EHLO and STARTTLS, so it ends without QUIT until TLS runs.
      if (Encryption != ecNone && !TlsActive()) {
        Abandon();
      } else {
        Disconnect();  // an error of its own replaces the first one
      }
      throw;
    }
  }
  if (OnConnect) OnConnect(this);
} catch (Exception& e) {
  RedactSecrets(e);
  throw;
}

void TQxSMTP::AwaitGreeting() {
  TSmtpDialogue dialogue = Dialogue();
  const Reply reply = dialogue.Await(kGreeting);
  if (!TSmtpDialogue::Accepts(kGreeting, reply)) dialogue.Refused(kGreeting, reply);
}

void TQxSMTP::SayHello() {
  const bool extended = Encryption != ecNone || !LoginName.empty();
  const DialogueStep& step = extended ? kEhlo : kHelo;
  TSmtpDialogue dialogue = Dialogue();
  for (int retries = 0;; ++retries) {
    // RFC 5321 wants a domain after HELO too: servers refuse an empty one.
    // (The refusal's handler may have set UserID for the second try.)
    const std::string name = EhloName();
    if (!extended && UserID.empty()) Note(FillPlaceholder(kNoteHeloName, name));
    const Reply reply = dialogue.Converse(step, name);
    if (TSmtpDialogue::Accepts(step, reply)) {
      if (extended) capabilities_ = TSmtpCapabilities::FromEhloReply(reply.lines);
      return;
    }
    bool handled = false;
    if (!reply.Closed() && retries == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
    if (!handled) dialogue.Refused(step, reply);
  }
}

void TQxSMTP::RequestTls() {
  if (!capabilities_.StartTls) throw Exception(std::string(kErrStartTlsNotOffered));
  Dialogue().Require(kStartTls);
  // What the server said in clear may have been forged on the way.
  capabilities_ = {};
  StartTls(TlsSettings());
}

platform::TlsSettings TQxSMTP::TlsSettings() const { return {Host, CaFile, Insecure}; }

void TQxSMTP::LogIn() {
  TSmtpDialogue dialogue = Dialogue();
  try {
    Authenticate(dialogue, capabilities_, AuthMechanism, {LoginName, Password});
  } catch (const EAuthenticationRefused&) {
    // An access token may have been revoked or have run out early: a fresh
    // one gets one more try, as AUTH may follow a failed AUTH.
    if (!SendsToken(AuthMechanism) || !OnTokenRefused) throw;
    std::string fresh = OnTokenRefused(Password);
    const TWipeOnExit forgetFresh(fresh);
    if (fresh.empty()) throw;
    RefuseLineBreak("Password", fresh);
    if (CredentialTooLong(fresh)) throw Exception(std::string(kErrCredentialsTooLong));
    Authenticate(dialogue, capabilities_, AuthMechanism, {LoginName, fresh});
  }
}

TSmtpDialogue TQxSMTP::Dialogue() {
  return {*this, {this, OnFailure, OnRecipientNotFound, [this](const std::string& text) { Note(text); }}};
}

std::string TQxSMTP::EhloName() const {
  if (!UserID.empty()) return UserID;
  const std::string name = platform::FullyQualifiedHostName();
  return IsDomainName(name) ? name : AddressLiteral(LocalAddress());
}

void TQxSMTP::Disconnect() try {
  Canceled = false;  // an earlier Abort must not stop the goodbye
  try {
    SayGoodbye();
  } catch (...) {
    TTidewire::Disconnect();
    throw;
  }
  TTidewire::Disconnect();
} catch (Exception& e) {
  RedactSecrets(e);
  throw;
}

void TQxSMTP::RedactSecrets(Exception& e) const { e.SetMessage(Secrets.Redacted(e.Message())); }

void TQxSMTP::SayGoodbye() {
  // A server that hung up already gets no "QUIT" (Converse), and one that
  // hangs up instead of answering it has ended the connection as asked; so
  // has one that lets the answer's time run out, as the socket closes next.
  Reply reply;
  try {
    reply = Dialogue().Converse(kQuit);
  } catch (const EAbortError&) {
    if (TimedOut) return;
    throw;
  } catch (const ESockError&) {
    if (std::find(kHangUpErrors.begin(), kHangUpErrors.end(), LastError) == kHangUpErrors.end()) throw;
    return;
  }
  if (!reply.Closed() && !TSmtpDialogue::Accepts(kQuit, reply)) Dialogue().Refused(kQuit, reply);
}

void TQxSMTP::Abandon() {
  if (!Connected) return;
  try {
    TTidewire::Disconnect();
  } catch (const Exception&) {
    // The connection is beyond use either way; the first error tells why.
  }
}

std::string TQxSMTP::PartingLine() {
  std::string line;
  if (!InputWaiting()) return line;
  const std::int32_t timeOut = TimeOut;
  TimeOut = timeOut > 0 ? std::min(timeOut, kPartingWaitMilliseconds) : kPartingWaitMilliseconds;
  try {
    ReadLn(line);
  } catch (const Exception&) {
    line.clear();  // half a line at most: the socket error alone tells what happened
  }
  TimeOut = timeOut;
  if (!line.empty()) ReportStatus(kLevelReply, line);
  return line;
}

// --- SendMail ----------------------------------------------------------------

void TQxSMTP::SendMail() try {
  if (busy_) return;
  {
    RaisedFlag busy(busy_);
    ForgetLastSend();
    RefuseLineBreaksInMessage();
    const EmptiedOnExit releaseFiles(body_stream_);
    ComposeMessage();
    CheckConnection();
    RequireCompleteMessage();
    if (OnSendStart) OnSendStart(this);
    RefuseLineBreaksInEnvelope();
    const std::string header = HeaderBlock();
    try {
      Deliver(header);
    } catch (const ESockError&) {
      // Whatever the server makes of the rest, it is out of step with us.
      Abandon();
      throw;
    }

    if (ClearParams) {
      post_message_.ToAddress().Clear();
      post_message_.ToCarbonCopy().Clear();
      post_message_.ToBlindCarbonCopy().Clear();
      post_message_.Attachments().Clear();
    }
  }
  if (OnSuccess) OnSuccess(this);
} catch (Exception& e) {
  RedactSecrets(e);
  throw;
}

std::uint64_t TQxSMTP::CheckedMessageSize(const std::string& header) const {
  const auto size = static_cast<std::uint64_t>(header.size()) + static_cast<std::uint64_t>(body_stream_.DataSize());
  const std::uint64_t limit = capabilities_.SizeLimit;
  if (capabilities_.Size && limit > 0 && size > limit) {
    throw Exception(FillPlaceholder(FillPlaceholder(kErrMessageTooLarge, std::to_string(size)), std::to_string(limit)));
  }
  return size;
}

void TQxSMTP::Deliver(const std::string& header) {
  // The envelope is read once: every entry that names a mailbox whose
  // outcome no earlier send of the message settled.
  for (TStringList* list : RecipientLists()) {
    for (const std::string& entry : list->Items()) {
      std::string mailbox = ExtractAddress(entry);
      if (!mailbox.empty() && SettledMailboxes.count(mailbox) == 0) {
        outcomes_.push_back({entry, std::move(mailbox), TRecipientFate::kNotSent});
      }
    }
  }
  size_t perTransaction = MaxRecipients > 0 ? static_cast<size_t>(MaxRecipients) : outcomes_.size();
  if (AllRecipientsRequired && outcomes_.size() > perTransaction) {
    throw Exception(FillPlaceholder(kErrRecipientLimit, std::to_string(perTransaction)));
  }
  const std::string mailParameters = MailParameters(CheckedMessageSize(header));
  std::deque<size_t> waiting(outcomes_.size());
  std::iota(waiting.begin(), waiting.end(), size_t{0});
  size_t delivered = 0;
  // A send in one transaction, as most are, tells of none.
  bool split = perTransaction < outcomes_.size();
  for (int number = 1; !waiting.empty(); ++number) {
    const auto batchEnd = waiting.begin() + static_cast<std::ptrdiff_t>(std::min(perTransaction, waiting.size()));
    const std::vector<size_t> batch(waiting.begin(), batchEnd);
    waiting.erase(waiting.begin(), batchEnd);
    const std::string name = FillPlaceholder(kNoteTransaction, std::to_string(number));
    if (split) Note(name + std::to_string(batch.size()) + std::string(kNoteRecipients));
    progress_ = TSendProgress::kEndNotSent;
    const TOpening opening = OpenTransaction(number == 1, batch, mailParameters);
    waiting.insert(waiting.begin(), opening.waiting.begin(), opening.waiting.end());
    if (!opening.waiting.empty()) {
      split = true;
      Note(name + std::string(kNoteLimit) + smtp_text::WithoutLineEnd(opening.limitReply.Last()));
      // What the server took once it takes again: further groups ask no more.
      if (!opening.accepted.empty()) perTransaction = std::min(perTransaction, opening.accepted.size());
    }
    if (opening.accepted.empty()) {
      // The server takes not even one more: splitting further gets nowhere.
      if (!opening.waiting.empty()) {
        for (size_t index : waiting) RefuseRecipient(index, opening.limitReply);
        waiting.clear();
      }
      if (delivered == 0 && waiting.empty()) {
        if (!TSmtpDialogue::Accepts(kData, opening.dataReply)) Dialogue().Refused(kData, opening.dataReply);
        throw Exception(std::string(kErrNoRecipientAccepted));
      }
      Note(name + std::string(kNoteNobodyAccepted));
      continue;
    }
    if (!TSmtpDialogue::Accepts(kData, opening.dataReply)) Dialogue().Refused(kData, opening.dataReply);
    SendData(header, opening.accepted);
    delivered += opening.accepted.size();
    if (split) {
      Note(name + std::string(kNoteDelivered) + std::to_string(opening.accepted.size()) +
           std::string(kNoteRecipients));
    }
  }
}

TQxSMTP::TOpening TQxSMTP::OpenTransaction(bool first, const std::vector<size_t>& batch,
                                           const std::string& mailParameters) {
  TSmtpDialogue dialogue = Dialogue();
  TCommandPipeline pipeline(dialogue, capabilities_.Pipelining);
  const std::string recipientParameters =
      capabilities_.Dsn && !DsnNotify.empty() ? std::string(" NOTIFY=") + DsnNotify : std::string();
  if (first) pipeline.Queue(kRset);
  pipeline.Queue(kMailFrom, post_message_.FromAddress, mailParameters);
  for (size_t index : batch) pipeline.Queue(kRcptTo, outcomes_[index].Mailbox, recipientParameters);
  // All or nothing waits for every recipient's verdict before DATA: an
  // accepted DATA could only be ended by delivering.
  if (!AllRecipientsRequired) pipeline.Queue(kData);
  for (int opener = first ? 2 : 1; opener > 0; --opener) {
    const DialogueStep& step = pipeline.Next();
    const Reply reply = pipeline.Take();
    if (!TSmtpDialogue::Accepts(step, reply)) AbandonOpening(pipeline, step, reply);
  }
  TOpening opening;
  bool limitReached = false;
  for (size_t index : batch) {
    // Past the limit, a recipient whose RCPT TO has not gone out waits for
    // the next transaction without one here.
    if (limitReached && pipeline.Withdraw()) {
      opening.waiting.push_back(index);
      continue;
    }
    const Reply reply = pipeline.Take();
    if (TSmtpDialogue::Accepts(kRcptTo, reply)) {
      opening.accepted.push_back(index);
      ++accepted_recipients_;
    } else if (IsRecipientLimit(reply)) {
      if (!limitReached) {
        opening.limitReply = reply;
        pipeline.HoldBack();
      }
      limitReached = true;
      opening.waiting.push_back(index);
    } else {
      RefuseRecipient(index, reply);
    }
  }
  if (AllRecipientsRequired) {
    if (!refused_recipients_.empty() || limitReached) {
      // The transaction ends before DATA: nobody gets the message. Whatever
      // the server answers, nothing was delivered.
      dialogue.Converse(kRset);
      if (!limitReached) throw Exception(std::string(kErrNotEveryRecipient));
      throw Exception(FillPlaceholder(kErrRecipientLimit, std::to_string(opening.accepted.size())));
    }
    pipeline.Queue(kData);
  }
  opening.dataReply = pipeline.Take();
  if (opening.accepted.empty() && TSmtpDialogue::Accepts(kData, opening.dataReply)) EndDataUndelivered(false);
  return opening;
}

void TQxSMTP::AbandonOpening(TCommandPipeline& pipeline, const DialogueStep& step, const Reply& reply) {
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
}

void TQxSMTP::EndDataUndelivered(bool anyoneAccepted) {
  // A lone "." delivers an empty message to whoever was accepted: only
  // hanging up ends the data phase without one then.
  if (anyoneAccepted) {
    Abandon();
    return;
  }
  Dialogue().Converse(kDataEnd);
}

void TQxSMTP::SendData(const std::string& header, const std::vector<size_t>& accepted) {
  TSmtpDialogue dialogue = Dialogue();
  const bool pipelined = capabilities_.Pipelining;
  try {
    // A reply beyond those due would pass for the answer to the end.
    dialogue.RefuseEarlyInput(kDataEnd);
    Write(header);
    // Pipelined, the end goes with the last bytes of the message.
    SendStream(body_stream_, pipelined ? kDataEnd.command : std::string_view());
  } catch (const EFileChanged&) {
    // Only a connection that ends in the middle of the data makes sure the
    // server delivers none of it.
    Abandon();
    throw;
  } catch (const EAbortError& e) {
    if (!TimedOut) throw;
    throw EAbortError(FillPlaceholder(FillPlaceholder(kErrDataTimedOut, e.Message()), Duration(TimeOut)));
  } catch (const ESockError& e) {
    // A server that refuses a message in the middle of its data usually
    // says why before it hangs up.
    const std::string parting = PartingLine();
    if (parting.empty()) throw;
    throw ESockError(parting + e.Message());
  }
  // Once "." goes out the server may deliver the message whatever becomes of
  // the connection: only its clear answer tells that it did not. (On a
  // connection already closed nothing more goes out.)
  const auto settle = [&](TRecipientFate fate) {
    for (size_t index : accepted) outcomes_[index].Fate = fate;
  };
  if (Connected) {
    progress_ = TSendProgress::kEndSent;
    settle(TRecipientFate::kInDoubt);
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
      settle(TRecipientFate::kNotSent);
      throw;
    }
    throw EReplyError(WithDeliveryInDoubt(e.Message()), e.Code());
  } catch (const EAbortError& e) {
    throw EAbortError(WithDeliveryInDoubt(e.Message()));
  } catch (const ESockError& e) {
    throw ESockError(WithDeliveryInDoubt(e.Message()));
  }
  progress_ = TSendProgress::kAccepted;
  settle(TRecipientFate::kDelivered);
}

void TQxSMTP::RefuseRecipient(size_t index, const Reply& reply) {
  TRecipientOutcome& recipient = outcomes_[index];
  recipient.Fate = TRecipientFate::kRefused;
  refused_recipients_.push_back({recipient.Entry, FailureText(kRcptTo, reply), FailureCode(reply)});
  Dialogue().Refused(kRcptTo, reply, recipient.Entry);
}

std::string TQxSMTP::MailParameters(std::uint64_t size) {
  // 8-bit text is declared to a server that announced it takes it (RFC 6152).
  std::string parameters = EightBitData() && capabilities_.EightBitMime ? " BODY=8BITMIME" : "";
  if (capabilities_.Size) parameters += " SIZE=" + std::to_string(size);
  if (DsnNotify.empty() && DsnReturn.empty()) return parameters;
  if (!capabilities_.Dsn) {
    Note(std::string(kNoteNoDsn));
    return parameters;
  }
  if (!DsnReturn.empty()) parameters += " RET=" + DsnReturn;
  if (!DsnEnvelopeId.empty()) parameters += " ENVID=" + XText(DsnEnvelopeId);
  return parameters;
}

void TQxSMTP::Note(const std::string& text) {
  ReportStatus(kLevelReply, text);
  if (OnNote) OnNote(text);
}

void TQxSMTP::ForgetLastSend() {
  progress_ = TSendProgress::kEndNotSent;
  refused_recipients_.clear();
  accepted_recipients_ = 0;
  outcomes_.clear();
}

std::array<TStringList*, 3> TQxSMTP::RecipientLists() {
  return {&post_message_.ToAddress(), &post_message_.ToCarbonCopy(), &post_message_.ToBlindCarbonCopy()};
}

bool TQxSMTP::NamesRecipient() {
  for (const TStringList* list : RecipientLists()) {
    for (const std::string& entry : list->Items()) {
      const std::string mailbox = ExtractAddress(entry);
      if (!mailbox.empty() && SettledMailboxes.count(mailbox) == 0) return true;
    }
  }
  return false;
}

void TQxSMTP::RequireCompleteMessage() {
  for (int retries = 0;; ++retries) {
    const bool noSender = post_message_.FromAddress.empty();
    // Entries that name no mailbox (empty or blank lines) get no RCPT TO: a
    // list of only those would send the data to nobody.
    const bool noRecipient = !NamesRecipient();
    if (!noSender && !noRecipient) return;
    bool handled = false;
    if (retries == 0 && OnHeaderIncomplete) {
      OnHeaderIncomplete(handled, noSender ? kHeaderMissingSender : kHeaderMissingRecipient);
    }
    if (!handled) throw Exception(std::string(kErrIncompleteHeader));
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
  RefuseLineBreak("MessageId", m.MessageId);
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
