// The SMTP dialogue of TQxSMTP: Connect, SendMail and Disconnect as a table
// of steps (Steps.h) run by the dialogue engine (Dialogue.h); the mail
// transactions of a send are Transaction.h's.

#include "smtp/Qxsmtp.h"

#include <algorithm>
#include <vector>

#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "smtp/Mailbox.h"
#include "smtp/MessageText.h"
#include "smtp/Steps.h"

using smtp_text::AppendDataLine;
using smtp_text::AttachmentFileName;
using smtp_text::kCrLf;
using namespace smtp_steps;

namespace {

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

}  // namespace

// ---------------------------------------------------------------------------

TQxSMTP::TQxSMTP(TComponent* owner) : TTidewire(owner) { Port = 25; }

TQxSMTP::~TQxSMTP() = default;

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
      if (Encryption == ecTls) BeginTls();
      AwaitGreeting();
      if (Encryption == ecStartTls) {
        SayHello();
        RequestTls();
      }
      SayHello();
      if (!LoginName.empty()) LogIn();
    } catch (const ESockError&) {
      DropConnection(*this);
      throw;
    } catch (...) {
      // A connection that must be encrypted carries nothing in clear but
      // EHLO and STARTTLS, so it ends without QUIT until TLS runs.
      if (Encryption != ecNone && !TlsActive()) {
        DropConnection(*this);
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
  const bool extensionsNeeded = Encryption != ecNone || !LoginName.empty();
  if (extensionsNeeded || AsksForExtensions()) {
    if (Greet(kEhlo, !extensionsNeeded)) return;
    Note(std::string(kNoteEhloRefused));
  }
  Greet(kHelo, false);
}

bool TQxSMTP::Greet(const DialogueStep& step, bool optional) {
  TSmtpDialogue dialogue = Dialogue();
  for (int retries = 0;; ++retries) {
    // RFC 5321 wants a domain after HELO too: servers refuse an empty one.
    // (The refusal's handler may have set UserID for the second try.)
    const std::string name = EhloName();
    if (&step == &kHelo && UserID.empty()) Note(FillPlaceholder(kNoteHeloName, name));
    const Reply reply = dialogue.Converse(step, name);
    if (TSmtpDialogue::Accepts(step, reply)) {
      if (&step == &kEhlo) capabilities_ = TSmtpCapabilities::FromEhloReply(reply.lines);
      return true;
    }
    if (optional && !reply.Closed() && reply.Code() / 100 == 5) return false;
    bool handled = false;
    if (!reply.Closed() && retries == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
    if (!handled) dialogue.Refused(step, reply);
  }
}

bool TQxSMTP::AsksForExtensions() const { return !DsnNotify.empty() || !DsnReturn.empty(); }

void TQxSMTP::RequestTls() {
  if (!capabilities_.StartTls) throw Exception(std::string(kErrStartTlsNotOffered));
  Dialogue().Require(kStartTls);
  // What the server said in clear may have been forged on the way.
  capabilities_ = {};
  BeginTls();
}

void TQxSMTP::BeginTls() {
  // A server that takes the connection but never shakes hands must not
  // hold a job that set no time-out for ever.
  const TFallbackTimeOut handshake(*this, StandardWaits.command);
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
  return {*this, {this, OnFailure, OnRecipientNotFound, [this](const std::string& text) { Note(text); }},
          StandardWaits};
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
    // A QUIT that went with the message's end has only its reply to come.
    reply = send_.quitSent ? Dialogue().AwaitReplyTo(kQuit) : Dialogue().Converse(kQuit);
  } catch (const EAbortError&) {
    if (TimedOut) return;
    throw;
  } catch (const ESockError&) {
    if (std::find(kHangUpErrors.begin(), kHangUpErrors.end(), LastError) == kHangUpErrors.end()) throw;
    return;
  }
  if (!reply.Closed() && !TSmtpDialogue::Accepts(kQuit, reply)) Dialogue().Refused(kQuit, reply);
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
      DropConnection(*this);
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
  // The envelope is read once: each mailbox once, unless an earlier send of
  // the message settled its outcome. The header names every entry as given.
  std::set<std::string> named;
  for (const std::string& settled : SettledMailboxes) named.insert(mailbox::Key(settled));
  for (TStringList* list : RecipientLists()) {
    for (const std::string& entry : list->Items()) {
      std::string address = mailbox::Extract(entry);
      if (!address.empty() && named.insert(mailbox::Key(address)).second) {
        send_.outcomes.push_back({entry, std::move(address), TRecipientFate::kNotSent});
      }
    }
  }
  const TEnvelope envelope{
      post_message_.FromAddress, MailParameters(CheckedMessageSize(header)),
      capabilities_.Dsn && !DsnNotify.empty() ? std::string(" NOTIFY=") + DsnNotify : std::string()};
  TSessionView session{Dialogue(), capabilities_.Pipelining, [this](const std::string& text) { Note(text); }};
  const TSendPolicy policy{MaxRecipients, AllRecipientsRequired, QuitAfterSend};
  SendToRecipients(session, envelope, policy, header, body_stream_, send_);
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

void TQxSMTP::ForgetLastSend() { send_ = {}; }

std::array<TStringList*, 3> TQxSMTP::RecipientLists() {
  return {&post_message_.ToAddress(), &post_message_.ToCarbonCopy(), &post_message_.ToBlindCarbonCopy()};
}

bool TQxSMTP::NamesRecipient() {
  std::set<std::string> settled;
  for (const std::string& address : SettledMailboxes) settled.insert(mailbox::Key(address));
  for (const TStringList* list : RecipientLists()) {
    for (const std::string& entry : list->Items()) {
      const std::string address = mailbox::Extract(entry);
      if (!address.empty() && settled.count(mailbox::Key(address)) == 0) return true;
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
