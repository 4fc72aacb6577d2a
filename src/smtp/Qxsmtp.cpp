// The SMTP dialogue of TQxSMTP: Connect, SendMail and Disconnect as a table
// of steps over the socket component's Transaction.

#include "smtp/Qxsmtp.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "core/Exceptions.h"
#include "core/Wipe.h"
#include "encoding/LineEncoding.h"
#include "smtp/MessageText.h"

using smtp_text::AppendDataLine;
using smtp_text::AttachmentFileName;
using smtp_text::kCrLf;

namespace {

/// What a step does when its reply is not accepted.
enum class OnRefusal {
  kRaiseReply,          // fail with the reply's last line
  kAskAuthentication,   // OnAuthenticationFailed once, then "Authentication failed"
  kReportRecipient,     // OnRecipientNotFound with the entry; the transaction goes on
  kFailureThenRaise,    // OnFailure, then fail with the reply's last line
  kRefuseEncryption,    // fail, naming STARTTLS, with the reply's last line
  kCancelChallenge,     // a 334 challenge is cancelled with "*"; the reply to that fails
  kEndErrorChallenge,   // a 334 error challenge is ended with an empty line; the reply to that fails
};

/// One step of the SMTP dialogue: the line sent (command, argument,
/// closing), the reply codes that count as acceptance, what a refusal
/// does, and what the server owes, to name it when it fails to.
struct DialogueStep {
  std::string_view command;
  std::string_view closing;
  int lowestAccepted;
  int highestAccepted;
  OnRefusal refusal;
  std::string_view reply;
};

constexpr int kNoCode = -1;

// The SMTP dialogue, in the order in which the lines are sent. An encrypted
// one (TLS from the first byte, or after STARTTLS) greets with EHLO instead
// of HELO, and after STARTTLS with a second EHLO inside TLS. Between DATA
// and "." go the header block and the body stream, with no reply read. A
// preliminary 1xx reply is no answer to any step.
constexpr DialogueStep kGreeting{"", "", 200, 399, OnRefusal::kRaiseReply, "greeting"};
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

// The AUTH exchanges, after the last EHLO; the arguments are base64 forms of
// the credentials. A 334 reply is a challenge: the next line answers it.
constexpr int kChallenge = 334;
constexpr DialogueStep kAuthPlain{"AUTH PLAIN ", "", 200, 299, OnRefusal::kCancelChallenge, "reply to AUTH PLAIN"};
constexpr DialogueStep kAuthLogin{"AUTH LOGIN", "", kChallenge, kChallenge, OnRefusal::kRaiseReply,
                                  "reply to AUTH LOGIN"};
constexpr DialogueStep kLoginUser{"", "", kChallenge, kChallenge, OnRefusal::kRaiseReply, "reply to the user name"};
constexpr DialogueStep kLoginPassword{"", "", 200, 299, OnRefusal::kCancelChallenge, "reply to the password"};
constexpr DialogueStep kAuthXOAuth2{"AUTH XOAUTH2 ", "", 200, 299, OnRefusal::kEndErrorChallenge,
                                    "reply to AUTH XOAUTH2"};
// What ends an exchange that a challenge left open; the server's reply to it
// is the refusal, whatever its code (none counts as acceptance).
constexpr DialogueStep kCancelAuth{"*", "", 0, kNoCode, OnRefusal::kRaiseReply, "reply to the cancelled AUTH"};
constexpr DialogueStep kEndXOAuth2{"", "", 0, kNoCode, OnRefusal::kRaiseReply, "reply to the end of AUTH XOAUTH2"};

/// The names of TAuthMechanism's values, in their order.
constexpr std::string_view kMechanismNames[] = {"", "PLAIN", "LOGIN", "XOAUTH2"};

/// Bytes sent over a connection the server has already dropped fail with
/// one of these; at "QUIT" that only confirms the end.
constexpr std::int32_t kHangUpErrors[] = {10053, 10054, 10057, 10058};

/// How long a server that hung up in the middle of the data may take to
/// hand over its last line.
constexpr std::int32_t kPartingWaitMilliseconds = 1000;

/// The longest name a DNS domain can have.
constexpr size_t kMaxDomainLength = 253;

/// Far more lines than any reply has (an EHLO reply has a few dozen).
constexpr size_t kMaxReplyLines = 1000;

/// Sets a flag (the busy flag, the trace's masking) for the life of the
/// scope and puts back what it was: a scope nested in another that set it
/// leaves it set.
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

/// One whole reply: its lines as received, line ends kept, the last one
/// ending it. No lines: the server hung up before the reply was complete.
struct Reply {
  std::vector<std::string> lines;

  bool Closed() const { return lines.empty(); }
  const std::string& Last() const { return lines.back(); }
  /// The code of the first line when the last line carries the same;
  /// kNoCode otherwise.
  int Code() const {
    const int code = ReplyCode(lines.front());
    return code == ReplyCode(lines.back()) ? code : kNoCode;
  }
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
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    throw Exception(FillPlaceholder(kErrLineBreak, what));
  }
}

/// itemName names one entry of list, as "ToAddress entry" for example.
void RefuseLineBreaks(const std::string& itemName, const TStringList& list) {
  for (int i = 0; i < list.Count(); ++i) RefuseLineBreak(itemName + " " + std::to_string(i + 1), list[i]);
}

bool Accepts(const DialogueStep& step, const Reply& reply) {
  if (reply.Closed()) return false;
  const int code = reply.Code();
  return code >= step.lowestAccepted && code <= step.highestAccepted;
}

/// Reads the reply whose first line is line to its last line.
/// Raises ESockError when the reply goes on beyond kMaxReplyLines: a
/// server that never ends its reply must not fill the memory.
Reply CompleteReply(TQxSMTP& smtp, std::string line) {
  Reply reply;
  for (;;) {
    if (line.empty()) return {};
    if (reply.lines.size() == kMaxReplyLines) {
      throw ESockError(FillPlaceholder(kErrEndlessReply, std::to_string(kMaxReplyLines)));
    }
    reply.lines.push_back(line);
    if (!IsContinuation(line)) return reply;
    smtp.ReadLn(line);
  }
}

/// The error text of a reply that fails its step: its last line, or what
/// went wrong when that line has no code or the reply never came.
std::string FailureText(const DialogueStep& step, const Reply& reply) {
  if (reply.Closed()) return FillPlaceholder(kErrServerClosed, step.reply);
  const std::string& line = reply.Last();
  if (ReplyCode(line) != kNoCode) return line;
  if (line.find_first_not_of("\r\n") == std::string::npos) return FillPlaceholder(kErrEmptyReply, step.reply);
  return FillPlaceholder(kErrCodelessReply, step.reply) + line;
}

/// The code EReplyError carries for reply.
int CodeOf(const Reply& reply) { return reply.Closed() ? 0 : reply.Code(); }

/// Fails the step with its reply (after OnFailure where the row says so).
[[noreturn]] void Fail(TQxSMTP& smtp, const DialogueStep& step, const Reply& reply) {
  if (step.refusal == OnRefusal::kFailureThenRaise && smtp.OnFailure) smtp.OnFailure(&smtp);
  if (step.refusal == OnRefusal::kRefuseEncryption && !reply.Closed()) {
    throw EReplyError(std::string(kErrStartTlsRefused) + FailureText(step, reply), CodeOf(reply));
  }
  throw EReplyError(FailureText(step, reply), CodeOf(reply));
}

Reply Converse(TQxSMTP& smtp, const DialogueStep& step, std::string_view argument = {},
               std::string_view parameters = {});

/// What a refused step does, as its row says: reports the recipient entry,
/// and lets the transaction go on, or ends an open challenge, or raises.
void Refused(TQxSMTP& smtp, const DialogueStep& step, const Reply& reply, const std::string& entry = {}) {
  if (step.refusal == OnRefusal::kReportRecipient) {
    if (smtp.OnRecipientNotFound) smtp.OnRecipientNotFound(entry);
    return;
  }
  if (step.refusal == OnRefusal::kAskAuthentication && !reply.Closed()) {
    throw EReplyError(std::string(kErrAuthenticationFailed), CodeOf(reply));
  }
  const bool challengeEnds =
      step.refusal == OnRefusal::kCancelChallenge || step.refusal == OnRefusal::kEndErrorChallenge;
  if (challengeEnds && !reply.Closed() && reply.Code() == kChallenge) {
    // The server waits for an answer: the exchange must end before any other
    // command can follow, and the server's reply to its end tells why.
    const DialogueStep& end = step.refusal == OnRefusal::kEndErrorChallenge ? kEndXOAuth2 : kCancelAuth;
    Fail(smtp, end, Converse(smtp, end));
  }
  Fail(smtp, step, reply);
}

/// text, then on a line of its own that the message may have been delivered.
std::string WithDeliveryInDoubt(const std::string& text) {
  return text + (!text.empty() && text.back() == '\n' ? "" : std::string(kCrLf)) + std::string(kMayHaveBeenDelivered);
}

/// A time span for a message: "5 s" for whole seconds, else "300 ms".
std::string Duration(std::int32_t milliseconds) {
  if (milliseconds % 1000 == 0) return std::to_string(milliseconds / 1000) + " s";
  return std::to_string(milliseconds) + " ms";
}

/// Runs one exchange of step. A wait in it that ran out (for the reply, or
/// for room to send the command) fails with the abort's own text followed
/// by the reply that did not come; a cancel passes unchanged.
template <typename Exchange>
Reply NamingTimeOut(TQxSMTP& smtp, const DialogueStep& step, Exchange exchange) {
  try {
    return exchange();
  } catch (const EAbortError& e) {
    if (!smtp.TimedOut) throw;
    throw EAbortError(FillPlaceholder(FillPlaceholder(FillPlaceholder(kErrReplyTimedOut, e.Message()), step.reply),
                                      Duration(smtp.TimeOut)));
  }
}

/// Sends the step's line (command, argument, closing, parameters) and reads
/// the whole reply. Once the server has hung up (the close was noticed and
/// the socket replaced) there is nobody to send to: the step meets the
/// closed connection's missing reply, whatever moment the close was noticed
/// at. Input that waits before the line is sent answers no command of ours
/// (a server talking out of turn, a "421" before it closes, say): taken for
/// the reply, it would put every later reply one step behind, so the step
/// fails with it instead.
Reply Converse(TQxSMTP& smtp, const DialogueStep& step, std::string_view argument, std::string_view parameters) {
  if (!smtp.Connected) return {};
  return NamingTimeOut(smtp, step, [&] {
    std::string line;
    if (smtp.InputWaiting()) {
      smtp.ReadLn(line);
      Fail(smtp, step, CompleteReply(smtp, line));
    }
    // The argument may be a secret: the line is made in storage of its final
    // size, so that no copy is left behind, and wiped after use.
    std::string command;
    const TWipeOnExit wipeCommand(command);
    command.reserve(step.command.size() + argument.size() + step.closing.size() + parameters.size());
    command += step.command;
    command += argument;
    command += step.closing;
    command += parameters;
    smtp.Transaction(command, line);
    return CompleteReply(smtp, line);
  });
}

/// Sends the line of a step that fails when refused.
void Require(TQxSMTP& smtp, const DialogueStep& step, std::string_view argument = {},
             std::string_view parameters = {}) {
  const Reply reply = Converse(smtp, step, argument, parameters);
  if (!Accepts(step, reply)) Refused(smtp, step, reply);
}

/// Sends a step whose argument is a secret's encoded form, and wipes it.
void RequireSecret(TQxSMTP& smtp, const DialogueStep& step, std::string argument) {
  const TWipeOnExit wipe(argument);
  Require(smtp, step, argument);
}

/// base64 of the parts one after another, built in storage of its final
/// size and wiped once encoded.
std::string EncodedCredentials(std::initializer_list<std::string_view> parts) {
  std::string raw;
  const TWipeOnExit wipe(raw);
  size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  raw.reserve(size);
  for (const std::string_view part : parts) raw += part;
  return line_encoding::Base64(raw);
}

}  // namespace

std::string_view AuthMechanismName(TAuthMechanism mechanism) { return kMechanismNames[mechanism]; }

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
  // The password serves this connection's AUTH alone, whatever comes of it.
  const TWipeOnExit forgetPassword(Password);
  ForgetLastSend();
  RefuseLineBreak("UserID", UserID);
  RefuseLineBreak("LoginName", LoginName);
  RefuseLineBreak("Password", Password);
  if (LoginName.size() > kLongestCredential || Password.size() > kLongestCredential) {
    throw Exception(std::string(kErrCredentialsTooLong));
  }
  {
    RaisedFlag busy(busy_);
    capabilities_ = {};
    TTidewire::Connect();
    try {
      if (Encryption == ecTls) StartTls(TlsSettings());
      Greet();
      if (Encryption == ecStartTls) {
        Handshake();
        RequestTls();
      }
      Handshake();
      if (!LoginName.empty()) Authenticate();
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
}

void TQxSMTP::Greet() {
  const Reply reply = NamingTimeOut(*this, kGreeting, [this] {
    std::string line;
    ReadLn(line);
    return CompleteReply(*this, line);
  });
  if (!Accepts(kGreeting, reply)) Refused(*this, kGreeting, reply);
}

void TQxSMTP::Handshake() {
  const bool extended = Encryption != ecNone || !LoginName.empty();
  const DialogueStep& step = extended ? kEhlo : kHelo;
  for (int retries = 0;; ++retries) {
    const Reply reply = Converse(*this, step, extended ? EhloName() : UserID);
    if (Accepts(step, reply)) {
      if (extended) capabilities_ = TSmtpCapabilities::FromEhloReply(reply.lines);
      return;
    }
    bool handled = false;
    if (!reply.Closed() && retries == 0 && OnAuthenticationFailed) OnAuthenticationFailed(handled);
    if (!handled) Refused(*this, step, reply);
  }
}

void TQxSMTP::RequestTls() {
  if (!capabilities_.StartTls) throw Exception(std::string(kErrStartTlsNotOffered));
  Require(*this, kStartTls);
  // What the server said in clear may have been forged on the way.
  capabilities_ = {};
  StartTls(TlsSettings());
}

platform::TlsSettings TQxSMTP::TlsSettings() const { return {Host, CaFile, Insecure}; }

void TQxSMTP::Authenticate() {
  const TAuthMechanism mechanism = ChosenMechanism();
  const RaisedFlag masked(TraceMasked);
  struct WipeIoBuffer {  // the last line sent stays there otherwise
    TQxSMTP& smtp;
    ~WipeIoBuffer() { WipeBytes(smtp.IoBuffer, sizeof smtp.IoBuffer); }
  } wipeIoBuffer{*this};
  switch (mechanism) {
    case amLogin:
      Require(*this, kAuthLogin);
      RequireSecret(*this, kLoginUser, line_encoding::Base64(LoginName));
      RequireSecret(*this, kLoginPassword, line_encoding::Base64(Password));
      break;
    case amXOAuth2:
      RequireSecret(*this, kAuthXOAuth2,
                    EncodedCredentials({"user=", LoginName, "\x01" "auth=Bearer ", Password, "\x01\x01"}));
      break;
    case amPlain:
    case amAutomatic:  // resolved by ChosenMechanism
      RequireSecret(*this, kAuthPlain, EncodedCredentials({std::string_view("\0", 1), LoginName,
                                                           std::string_view("\0", 1), Password}));
      break;
  }
}

TAuthMechanism TQxSMTP::ChosenMechanism() const {
  if (AuthMechanism != amAutomatic) {
    const std::string_view name = AuthMechanismName(AuthMechanism);
    if (capabilities_.OffersAuth(name)) return AuthMechanism;
    throw Exception(FillPlaceholder(FillPlaceholder(kErrMechanismNotOffered, name), OfferedMechanisms()));
  }
  // An access token is no password: XOAUTH2 is only ever asked for.
  for (const TAuthMechanism mechanism : {amPlain, amLogin}) {
    if (capabilities_.OffersAuth(AuthMechanismName(mechanism))) return mechanism;
  }
  throw Exception(FillPlaceholder(kErrNoPasswordMechanism, OfferedMechanisms()));
}

std::string TQxSMTP::OfferedMechanisms() const {
  std::string offered;
  for (const std::string& mechanism : capabilities_.AuthMechanisms) {
    if (!offered.empty()) offered += ' ';
    offered += mechanism;
  }
  return offered.empty() ? std::string(kNoMechanismOffered) : offered;
}

std::string TQxSMTP::EhloName() const {
  if (!UserID.empty()) return UserID;
  const std::string name = platform::FullyQualifiedHostName();
  return IsDomainName(name) ? name : AddressLiteral(LocalAddress());
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
  // hangs up instead of answering it has ended the connection as asked; so
  // has one that lets the answer's time run out, as the socket closes next.
  Reply reply;
  try {
    reply = Converse(*this, kQuit);
  } catch (const EAbortError&) {
    if (TimedOut) return;
    throw;
  } catch (const ESockError&) {
    if (std::find(std::begin(kHangUpErrors), std::end(kHangUpErrors), LastError) == std::end(kHangUpErrors)) throw;
    return;
  }
  if (!reply.Closed() && !Accepts(kQuit, reply)) Refused(*this, kQuit, reply);
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
  return line;
}

// --- SendMail ----------------------------------------------------------------

void TQxSMTP::SendMail() {
  if (busy_) return;
  {
    RaisedFlag busy(busy_);
    ForgetLastSend();
    RefuseLineBreaksInMessage();
    ComposeMessage();
    CheckConnection();
    RequireCompleteMessage();
    if (OnSendStart) OnSendStart(this);
    RefuseLineBreaksInEnvelope();
    const std::string header = HeaderBlock();
    const std::uint64_t size = CheckedMessageSize(header);
    try {
      Deliver(header, capabilities_.Size ? " SIZE=" + std::to_string(size) : std::string());
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
}

std::uint64_t TQxSMTP::CheckedMessageSize(const std::string& header) const {
  const auto size = static_cast<std::uint64_t>(header.size()) + static_cast<std::uint64_t>(body_stream_.DataSize());
  const std::uint64_t limit = capabilities_.SizeLimit;
  if (capabilities_.Size && limit > 0 && size > limit) {
    throw Exception(FillPlaceholder(FillPlaceholder(kErrMessageTooLarge, std::to_string(size)), std::to_string(limit)));
  }
  return size;
}

void TQxSMTP::Deliver(const std::string& header, const std::string& mailParameters) {
  Require(*this, kRset);
  Require(*this, kMailFrom, post_message_.FromAddress, mailParameters);
  SendRecipients();
  if (AllRecipientsRequired && !refused_recipients_.empty()) {
    // The transaction ends before DATA: nobody gets the message. Whatever
    // the server answers, nothing was delivered.
    Converse(*this, kRset);
    throw Exception(std::string(kErrNotEveryRecipient));
  }
  Require(*this, kData);
  try {
    Write(header);
    SendStream(body_stream_);
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
  if (Connected) progress_ = TSendProgress::kEndSent;
  try {
    Require(*this, kDataEnd);
  } catch (const EReplyError& e) {
    if (e.Code() > 0) throw;
    throw EReplyError(WithDeliveryInDoubt(e.Message()), e.Code());
  } catch (const EAbortError& e) {
    throw EAbortError(WithDeliveryInDoubt(e.Message()));
  } catch (const ESockError& e) {
    throw ESockError(WithDeliveryInDoubt(e.Message()));
  }
  progress_ = TSendProgress::kAccepted;
}

void TQxSMTP::ForgetLastSend() {
  progress_ = TSendProgress::kEndNotSent;
  refused_recipients_.clear();
  accepted_recipients_ = 0;
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
      const Reply reply = Converse(*this, kRcptTo, mailbox);
      if (Accepts(kRcptTo, reply)) {
        ++accepted_recipients_;
        continue;
      }
      refused_recipients_.push_back({entry, FailureText(kRcptTo, reply), CodeOf(reply)});
      Refused(*this, kRcptTo, reply, entry);
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
