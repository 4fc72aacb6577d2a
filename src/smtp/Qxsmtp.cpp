#include "smtp/Qxsmtp.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "core/Exceptions.h"
#include "core/Random.h"
#include "encoding/QxS_Stream.h"
#include "platform/File.h"

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

// Header and body texts.
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kTextContentTypes[] = {
    "Content-Type: text/plain; charset=",                 // mtPlain
    "Content-Type: text/enriched; charset=",              // mtEnriched
    "Content-Type: text/sgml; charset=",                  // mtSgml
    "Content-Type: text/tab-separated-values; charset=",  // mtTabSeperated
    "Content-Type: text/html; charset=",                  // mtHtml
};
constexpr std::string_view kTextPartContentType = "Content-Type: text/plain; charset=";
constexpr std::string_view kMimeVersion = "Mime-Version: 1.0";
constexpr std::string_view kMultipartContentType = "Content-Type: multipart/mixed; boundary=";
constexpr std::string_view kBoundaryStart = "====================54535";
constexpr std::string_view kBoundaryEnd = "====";
constexpr int kBoundaryLetters = 6;
constexpr std::string_view kAttachmentContentType = "Content-Type: application/octet-stream; name=";
constexpr std::string_view kAttachmentDisposition = "Content-Disposition: attachment; filename=";
// A part of uuencode lines is labelled as such: calling it base64 would make
// every reader decode it into garbage.
constexpr std::string_view kTransferEncodings[] = {
    "Content-Transfer-Encoding: base64",      // uuMime
    "Content-Transfer-Encoding: x-uuencode",  // uuCode
};

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

void WriteText(TStream& stream, std::string_view text) {
  stream.WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
}

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

/// Appends line and CR LF, with one more "." in front of a leading ".", so
/// that no line of the data phase can pass for its end.
void AppendDataLine(std::string& text, std::string_view line) {
  if (!line.empty() && line.front() == '.') text += '.';
  text += line;
  text += kCrLf;
}

/// The part of an attachment entry after its last "\", "/" or ":". Both
/// kinds of slash separate folders (Windows takes either), and a name that
/// kept its folders would show the recipient the sender's paths.
std::string AttachmentFileName(const std::string& entry) {
  const size_t cut = entry.find_last_of("\\/:");
  return cut == std::string::npos ? entry : entry.substr(cut + 1);
}

/// name between double quotes; a quote inside is escaped so that it cannot
/// end the parameter early.
std::string Quoted(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

/// Room the encoded form of size bytes needs, line ends included.
std::int64_t EncodedSizeBound(std::int64_t size, UUMethods method) {
  const std::int64_t lines = (size + 44) / 45;
  return method == uuCode ? lines * 63 + 3 : lines * 62;
}

/// The size of the file at path, 0 when it cannot be read (the encoding
/// itself then reports it). Opened the way the encoding opens it, so that
/// both read the path alike.
std::int64_t FileSize(const std::string& path) {
  const platform::FileHandle file = platform::OpenFileForRead(path, platform::FileShare::kDenyWrite);
  if (file == platform::kInvalidFile) return 0;
  const std::int64_t size = platform::SeekFile(file, 0, soFromEnd);
  platform::CloseFile(file);
  return std::max<std::int64_t>(size, 0);
}

std::string NewBoundary() {
  std::string boundary(kBoundaryStart);
  for (int i = 0; i < kBoundaryLetters; ++i) boundary += static_cast<char>('a' + Random(25));
  boundary += kBoundaryEnd;
  return boundary;
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

// --- Composition -------------------------------------------------------------

void TQxSMTP::ComposeMessage() {
  ComposeHeader();
  ComposeBody();
}

void TQxSMTP::ComposeHeader() {
  TPostMessage& m = post_message_;
  final_header_.Clear();
  final_header_.Add("From: " + m.FromName + "<" + m.FromAddress + ">");
  AddRecipientLine("To: ", m.ToAddress());
  AddRecipientLine("CC: ", m.ToCarbonCopy());
  final_header_.SetFieldValue("Subject", m.Subject);
  final_header_.SetFieldValue("X-Mailer", m.LocalProgram);
  if (!m.ReplyTo.empty()) final_header_.SetFieldValue("Reply-To", m.ReplyTo);
  if (!m.Date.empty()) final_header_.SetFieldValue("Date", m.Date);
  final_header_.Add(std::string(kMimeVersion));
  if (m.Attachments().Count() > 0) {
    boundary_ = NewBoundary();
    final_header_.Add(std::string(kMultipartContentType) + "\"" + boundary_ + "\"");
  } else {
    if (SubType >= std::size(kTextContentTypes)) throw ERangeError();
    final_header_.Add(std::string(kTextContentTypes[SubType]) + Charset);
  }
}

void TQxSMTP::AddRecipientLine(const std::string& prefix, const TStringList& list) {
  if (list.Count() == 0) return;
  std::string line = prefix;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) line += ',';
    line += list[i];
  }
  final_header_.Add(std::move(line));
}

void TQxSMTP::ComposeBody() {
  body_stream_.Clear();
  const TStringList& attachments = post_message_.Attachments();
  if (attachments.Count() == 0) {
    WriteBodyText();
    return;
  }
  ReserveBodyStream();
  WriteText(body_stream_, "--" + boundary_ + "\r\n" + std::string(kTextPartContentType) + Charset + "\r\n\r\n");
  WriteBodyText();
  // Re-read: an encode handler may change the list.
  for (int index = 1; index <= attachments.Count(); ++index) EncodeAttachment(index);
  WriteText(body_stream_, "--" + boundary_ + "--\r\n");
}

void TQxSMTP::WriteBodyText() {
  std::string text;
  for (const std::string& entry : post_message_.Body().Items()) {
    // An entry is a line of text: line breaks inside it make several lines,
    // so no bare line end can reach the data stream.
    size_t start = 0;
    for (;;) {
      const size_t end = entry.find_first_of("\r\n", start);
      AppendDataLine(text, std::string_view(entry).substr(start, end == std::string::npos ? end : end - start));
      if (end == std::string::npos) break;
      start = end + (entry.compare(end, 2, kCrLf) == 0 ? 2 : 1);
    }
  }
  WriteText(body_stream_, text);
}

void TQxSMTP::ReserveBodyStream() {
  // One block big enough for everything, so that growing never copies a
  // large body (or holds two blocks of it at once).
  constexpr std::int64_t kPartOverhead = 512;
  std::int64_t total = kPartOverhead;
  for (const std::string& line : post_message_.Body().Items()) total += static_cast<std::int64_t>(line.size()) + 3;
  for (const std::string& entry : post_message_.Attachments().Items()) {
    total += kPartOverhead + 2 * static_cast<std::int64_t>(entry.size()) + EncodedSizeBound(FileSize(entry), EncodeType);
  }
  body_stream_.Reserve(total);
}

void TQxSMTP::EncodeAttachment(int index) {
  const std::string entry = post_message_.Attachments()[index - 1];
  const std::string name = Quoted(AttachmentFileName(entry));
  const size_t method = EncodeType < std::size(kTransferEncodings) ? EncodeType : 0;
  WriteText(body_stream_, "--" + boundary_ + "\r\n" + std::string(kAttachmentContentType) + name + "\r\n" +
                              std::string(kTransferEncodings[method]) + "\r\n" +
                              std::string(kAttachmentDisposition) + name + "\r\n\r\n");

  // Declared so that they go in the order buffer stream, scratch stream,
  // file, encoder, whichever way this function is left.
  const std::unique_ptr<TQxUUProcessor> encoder = std::make_unique<TQxUUProcessor>(this);
  std::unique_ptr<TFileStream> file;
  TMemoryStream scratch;
  TS_BufferStream buffer(scratch);
  encoder->Method = EncodeType;
  try {
    file = std::make_unique<TFileStream>(entry, platform::FileShare::kDenyAll);
  } catch (const EFOpenError&) {
    if (OnAttachmentNotFound) OnAttachmentNotFound(entry);
    throw;
  }
  scratch.Reserve(EncodedSizeBound(file->Size(), EncodeType));
  encoder->InputStream = file.get();
  encoder->OutputStream = &buffer;
  if (OnEncodeStart) OnEncodeStart(entry);
  encoder->Encode();  // ends with the buffer stream rewound: every line is in scratch
  if (OnEncodeEnd) OnEncodeEnd(entry);
  body_stream_.WriteBuffer(scratch.Memory(), scratch.DataSize());
}
