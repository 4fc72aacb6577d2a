#pragma once
// The SMTP client: the message record, the composition of header and body
// (with base64 attachment parts), and the SMTP dialogue over the socket
// component it derives from. The dialogue's engine is in Dialogue.h, the
// login mechanisms in Authentication.h.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/Component.h"
#include "core/Stream.h"
#include "core/StringList.h"
#include "encoding/QxExtstr.h"
#include "encoding/QxUUE.h"
#include "net/Tidewire.h"
#include "smtp/Authentication.h"
#include "smtp/Capabilities.h"
#include "smtp/Dialogue.h"
#include "smtp/MessageStream.h"
#include "smtp/MimeBoundary.h"
#include "smtp/SmtpTexts.h"
#include "smtp/Transaction.h"

/// Format of the body text; selects the text Content-Type of a single-part message.
enum TSubType : std::uint8_t {
  mtPlain = 0,
  mtEnriched = 1,
  mtSgml = 2,
  mtTabSeperated = 3,
  mtHtml = 4,
};

/// How the connection to the server is encrypted.
enum TEncryption : std::uint8_t {
  ecNone = 0,      // plain text throughout, greeted with HELO
  ecTls = 1,       // TLS from the first byte
  ecStartTls = 2,  // greeting and EHLO in plain text, then STARTTLS
};

/// hiType values of OnHeaderIncomplete.
inline constexpr int kHeaderMissingSender = 1;
inline constexpr int kHeaderMissingRecipient = 2;

/// handled: in-out, starts false; set it to have the check made once more.
using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
using TMailListReturn = std::function<void(const std::string& MailAddress)>;
/// Filename: the attachment entry as written in Attachments.
using TFileItem = std::function<void(const std::string& Filename)>;

/// The message to send: sender, recipients, subject, body lines, attachment
/// paths and a few header values. Owned by exactly one TQxSMTP.
///
/// A list property read yields the owned list itself (callers add, load and
/// clear in place); a list property written copies the given entries into
/// the owned list, which is never replaced.
/// An image that an HTML body names as "cid:" and its Content-ID.
struct TInlineImage {
  std::string Path;
  std::string ContentId;  // without the angle brackets
  std::string MediaType;  // empty: the one of its name
};

class TPostMessage : public TObject {
 public:
  TPostMessage() = default;
  TPostMessage(const TPostMessage&) = delete;
  TPostMessage& operator=(const TPostMessage&) = delete;

  std::string FromName;
  /// Argument of "MAIL FROM:<"; a send needs it non-empty.
  std::string FromAddress;
  std::string Subject;
  /// Value of the "X-Mailer" line.
  std::string LocalProgram;
  std::string Date;
  /// Value of the "Message-ID" line, after Date; the line is left out when
  /// this is empty.
  std::string MessageId;
  std::string ReplyTo;

  TStringList& ToAddress() { return to_; }
  TStringList& ToCarbonCopy() { return cc_; }
  /// Envelope only: never stands in a header line.
  TStringList& ToBlindCarbonCopy() { return bcc_; }
  /// One entry per line of text.
  TStringList& Body() { return body_; }
  /// One file path per entry; each file travels as one MIME part.
  TStringList& Attachments() { return attachments_; }
  /// The plain text that goes with an HTML body (SubType mtHtml), in
  /// UTF-8; empty: none.
  TStringList& Alternative() { return alternative_; }
  /// The images that an HTML body shows by their Content-ID.
  std::vector<TInlineImage> InlineImages;

  void SetToAddress(const TStringList& list) { to_.Assign(list); }
  void SetToCarbonCopy(const TStringList& list) { cc_.Assign(list); }
  void SetToBlindCarbonCopy(const TStringList& list) { bcc_.Assign(list); }
  void SetBody(const TStringList& list) { body_.Assign(list); }
  void SetAttachments(const TStringList& list) { attachments_.Assign(list); }

 private:
  TStringList to_;
  TStringList cc_;
  TStringList bcc_;
  TStringList body_;
  TStringList attachments_;
  TStringList alternative_;
};

/// The mail-sending component: holds one message record, composes the
/// header lines and the body stream from it, and delivers them in one SMTP
/// mail transaction. Owned by its owner component (the status window). No
/// error text of its operations holds one of Secrets: "***" stands there.
class TQxSMTP : public TTidewire {
 public:
  /// Port 25, uuMime, ClearParams true, mtPlain, Charset "us-ascii"; raises
  /// what the socket component's construction raises.
  explicit TQxSMTP(TComponent* owner);
  ~TQxSMTP() override;

  /// Opens the connection to Host:Port, reads the greeting and sends
  /// "HELO " + UserID (once more when OnAuthenticationFailed sets Handled);
  /// every reply is read to its last line. With Encryption: TLS right after
  /// the connect (ecTls), or EHLO and STARTTLS first (ecStartTls); the
  /// handshake and the certificate check (CaFile, Insecure) come before any
  /// command inside TLS, and "EHLO " + EhloName() takes the place of HELO
  /// (inside TLS once more after STARTTLS; also without TLS when there is a
  /// LoginName). With a LoginName it then logs in with AUTH as the latest
  /// EHLO reply allows (Authenticate: the password and its encoded forms
  /// join Secrets, the trace shows "***" for them); when the server refuses
  /// an access token for good and OnTokenRefused gives another, it logs in
  /// once more with that on the same connection. It wipes Password whatever
  /// the outcome (Password is wiped on every return, so set it before each
  /// Connect), and the token OnTokenRefused gave. Raises what
  /// OnTokenRefused raises. Raises kErrMechanismNotOffered,
  /// kErrNoPasswordMechanism, EAuthenticationRefused with the last line of
  /// a permanent refusal of the credentials, the last line of another
  /// refusal (after a challenge
  /// where none was due, the reply to its cancel; after the XOAUTH2 error
  /// challenge, the reply to the empty line that ends it),
  /// kErrCredentialsTooLong and line-break errors for LoginName and
  /// Password (before anything is opened). Raises the TLS failures, "The
  /// SMTP server does not offer STARTTLS...", "The SMTP server refused
  /// STARTTLS: " + its last line; before TLS runs on a connection that
  /// must be encrypted no "QUIT" goes out (only EHLO and STARTTLS are ever
  /// sent in clear). Raises the socket component's
  /// errors, the last line of a refused greeting, a text for a server that
  /// closed the connection or answered without a code, the line of a server
  /// that spoke out of turn, "Authentication failed", or an error for a
  /// UserID that holds CR, LF or NUL (then nothing is opened). A refusal
  /// after the connection opened sends "QUIT" and closes it; an error of that
  /// "QUIT" takes the place of the first one. A socket error or abort closes
  /// the connection without "QUIT" (the dialogue is out of step) and stands.
  /// Fires OnConnect on success, after the busy flag was released.
  void Connect() override;
  /// Composes the message and delivers it: RSET, MAIL FROM, one RCPT TO per
  /// mailbox (named once however many entries name it: the domain compares
  /// without regard to case), DATA, header block, body stream, ".". A
  /// server that takes no more recipients in a transaction gets the message
  /// for those it took, then a new transaction (RSET, MAIL FROM, the next
  /// recipients, DATA, the same message) on the same connection, until
  /// every recipient had its RCPT TO; MaxRecipients caps each transaction
  /// (SendToRecipients in Transaction.h tells the rules). Where the latest
  /// EHLO announced PIPELINING, the commands of a transaction up to DATA go
  /// out as a group (TCommandPipeline) and the message with its "." in one
  /// send; with QuitAfterSend the last message's "." takes QUIT along. The
  /// recipients in SettledMailboxes get no RCPT TO; RecipientOutcomes
  /// tells what became of each of the others. A transaction that fails
  /// raises, after the earlier ones delivered. MAIL FROM carries
  /// " BODY=8BITMIME" for EightBitData. When the latest EHLO
  /// reply announced SIZE, MAIL FROM carries " SIZE=" and the bytes of the
  /// data (header block and body stream as sent, without the closing "."),
  /// and a message larger than a limit it named fails with
  /// kErrMessageTooLarge before RSET, nothing sent. Does nothing while
  /// another Connect or SendMail runs. Raises composition errors, "Not
  /// Connected", "Incomplete Header", an error for a value that would put a
  /// line break into the dialogue or the header, a range error for a header
  /// block too long for one Write, the reply line of a refused step, a
  /// closed-connection text, socket errors. Fires the attachment events,
  /// OnHeaderIncomplete, OnSendStart, OnRecipientNotFound, OnFailure (the
  /// "." refused: any reply but 2xx) and, after success and the busy flag's
  /// release, OnSuccess. Every reply is read to its last line, whose text a
  /// refusal carries; a line that comes before its command was sent fails
  /// that step. A refused send leaves the connection open and every list as
  /// it was; a socket error or abort closes it without "QUIT", and so does
  /// a server that hung up where a reply was due (the step fails with a
  /// text that names the reply). When the server hangs up in the middle of
  /// the data, the line it left comes before the socket error's text. A
  /// refused step and a reply that never came raise EReplyError. With
  /// AllRecipientsRequired, a refused recipient ends the transaction with
  /// RSET instead of DATA and raises kErrNotEveryRecipient. Once "." has
  /// gone out, a failure without a clear reply (the server hung up or went
  /// silent, a reply without a code) carries kMayHaveBeenDelivered on a
  /// line of its own. An attached file that no longer gives what was
  /// measured (it shrank, grew, was written to or failed to read) raises
  /// EFileChanged before the message's end goes out, and the connection is
  /// closed: the server drops the message.
  void SendMail();
  /// Sends "QUIT" while connected (or reads the reply to the QUIT that went
  /// with the message's end) and closes the socket in every case.
  /// Raises the last reply line when "QUIT" is refused (or a text for a
  /// reply without a code). A server that already hung up, or lets the
  /// time for its answer run out, is not an error: the connection is over
  /// either way.
  void Disconnect() override;
  /// Rebuilds FinalHeader and the body stream from PostMessage and the
  /// settings. A header line that would pass 998 octets is folded; a
  /// subject or display name with bytes above 127 goes as encoded-words
  /// (SubjectCharset, NameCharset, Charset), an attachment name in UTF-8 as a name
  /// parameter and as filename*= (see FileNameCharset). The text goes quoted-printable
  /// when a line of it passes 998 octets, or when it has 8-bit bytes and
  /// the latest EHLO reply lacked 8BITMIME (or there was none); with
  /// 8BITMIME it is labelled 8bit (see EightBitData). An attachment's type
  /// comes from its name (MediaTypes.h); text of ASCII bytes goes
  /// quoted-printable, a message that needs no encoding as 7bit. Raises attachment errors ("Cannot open file
  /// %s" after OnAttachmentNotFound, read errors, handler errors), and
  /// ERangeError for a SubType beyond mtHtml. Each multipart part gets a
  /// boundary of its own from DrawBoundary; where text that goes as it is
  /// (the body, a message attached as 7bit) holds a line that begins as a
  /// boundary line, all are drawn anew and the message composed once more
  /// (its attachment events fire again); raises Exception when eight draws
  /// did not help, or what DrawBoundary raises.
  void ComposeMessage();
  /// Appends the part of attachment entry index (counted from 1) to the
  /// body stream: its header, and its lines, which are encoded from the
  /// file, held open, while the body stream is read. Fires OnEncodeStart,
  /// OnEncodeEnd, or OnAttachmentNotFound before raising "Cannot open file
  /// %s".
  void EncodeAttachment(int index);

  /// The argument of EHLO: UserID when set, else this machine's fully
  /// qualified name, else the address literal of the connection's own end
  /// ("[192.0.2.7]", "[IPv6:2001:db8::7]"); never empty.
  std::string EhloName() const;
  /// What the server announced in the latest EHLO reply; empty after HELO,
  /// and forgotten when a connect starts and when TLS starts.
  const TSmtpCapabilities& Capabilities() const { return capabilities_; }

  TPostMessage& PostMessage() { return post_message_; }
  /// The lists whose entries get a RCPT TO each: To, CC, then Bcc.
  std::array<TStringList*, 3> RecipientLists();
  TExStringList& FinalHeader() { return final_header_; }
  /// Copies the lines of list; the owned list stays.
  void SetFinalHeader(const TStringList& list) { final_header_.Assign(list); }
  /// Everything that follows the header block in the DATA phase; the
  /// attachments' parts are read from their files while it is read.
  /// SendMail empties it when it ends, which closes the files.
  TMessageStream& BodyStream() { return body_stream_; }
  /// The outermost boundary of the last multipart message composed.
  const std::string& Boundary() const { return boundary_; }
  /// How far the latest SendMail's latest transaction got; kEndNotSent again
  /// when a Connect, a SendMail or a transaction starts.
  TSendProgress Progress() const { return send_.progress; }
  /// The recipients the server refused in the latest SendMail, in the order
  /// sent, and how many it accepted; both start afresh when a Connect or
  /// SendMail starts.
  const std::vector<TRefusedRecipient>& RefusedRecipients() const { return send_.refused; }
  int AcceptedRecipients() const { return send_.accepted; }
  /// Every recipient of the latest SendMail that got a RCPT TO or was due
  /// one, in the order sent, and what became of it; afresh like the above.
  const std::vector<TRecipientOutcome>& RecipientOutcomes() const { return send_.outcomes; }
  /// Starts afresh what Progress and the recipient lists tell, as Connect
  /// and SendMail do: for a job whose next attempt may fail before either.
  void ForgetLastSend();
  /// True when the last message composed has 8-bit text for a server that
  /// announced 8BITMIME: MAIL FROM then says BODY=8BITMIME.
  bool EightBitData() const {
    return textEncoding_ == TextEncoding::kEightBit || alternativeEncoding_ == TextEncoding::kEightBit;
  }
  /// True while Connect or SendMail runs.
  bool Busy() const { return busy_; }

  /// The bytes of the header's To: and CC: lines as they will be composed:
  /// a lower bound of the header's size, known before any connection.
  std::size_t RecipientLinesSize();

  std::string Charset = "us-ascii";
  /// The charset the Subject's bytes are in, when not Charset (after a
  /// conversion to KOI8-R or to the OEM code page, or typed in another
  /// charset than the body's); empty: Charset.
  std::string SubjectCharset;
  /// The charset of FromName and of ReplyTo's display name, when not
  /// Charset (typed in another charset than the body's); empty: Charset.
  std::string NameCharset;
  /// The charset of the attachments' file names; empty or UTF-8 while a
  /// name is no UTF-8: Charset. Names go out in UTF-8.
  std::string FileNameCharset;
  /// Where each MIME boundary comes from (a new one each call): the
  /// system's secure random generator; tests put their own here. One must
  /// hold two "=" in a row and a small letter, as the drawn ones do: only
  /// text that goes as it is is then read for its lines.
  std::function<std::string()> DrawBoundary = mime_boundary::Drawn;
  /// The SMTP-level connect event (the socket-level one stays unassigned).
  TNotifyEvent OnConnect;
  /// Argument of "HELO ".
  std::string UserID;
  TSubType SubType = mtPlain;
  UUMethods EncodeType = uuMime;
  /// After a successful send, empty the recipient and attachment lists.
  bool ClearParams = true;
  /// All or nothing: when the server refuses a recipient, SendMail sends
  /// RSET instead of DATA and fails with kErrNotEveryRecipient; when it
  /// takes fewer recipients than there are, with kErrRecipientLimit.
  bool AllRecipientsRequired = false;
  /// At most this many recipients in one transaction; 0: as many as the
  /// server takes.
  int MaxRecipients = 0;
  /// Delivery status notifications (RFC 3461), where the server offers DSN:
  /// NOTIFY of every RCPT TO ("SUCCESS,FAILURE", "NEVER"), RET of MAIL FROM
  /// ("HDRS", "FULL") and ENVID (xtext), which goes with either. Empty: not
  /// asked. Where the server lacks DSN the message goes without them.
  std::string DsnNotify;
  std::string DsnReturn;
  std::string DsnEnvelopeId;
  /// Mailboxes that an earlier send of this message delivered to or that
  /// refused it for good: they get no RCPT TO (compared as mailbox::Key
  /// compares).
  std::set<std::string> SettledMailboxes;
  /// SendMail ends the session: where the server announced PIPELINING,
  /// QUIT goes with the end of the last message, and Disconnect reads its
  /// reply (one round trip less).
  bool QuitAfterSend = false;
  /// How long each wait of the dialogue lasts while TimeOut is 0.
  TStandardWaits StandardWaits;
  /// What the client decided on its own in the dialogue (each transaction
  /// and its outcome, an extension the server lacks), also reported as a
  /// status text at the reply level. A handler must not raise.
  std::function<void(const std::string& note)> OnNote;
  /// ecNone keeps the plain HELO dialogue; the others encrypt every command
  /// from RSET on, and the second EHLO.
  TEncryption Encryption = ecNone;
  /// PEM file of trust anchors for the server's certificate, besides the
  /// system's store; empty: none.
  std::string CaFile;
  /// Takes any certificate: no check at all.
  bool Insecure = false;
  /// The user name to log in with (SMTP AUTH); empty: no AUTH.
  std::string LoginName;
  /// The password, or for a mechanism that SendsToken the access token.
  /// Connect wipes it.
  std::string Password;
  TAuthMechanism AuthMechanism = amAutomatic;
  /// Asked when the server refused the access token refused with a
  /// permanent reply: returns another token to log in with once more, or
  /// an empty one to let the refusal stand. May raise instead.
  std::function<std::string(const std::string& refused)> OnTokenRefused;

  THeaderInComplete OnHeaderIncomplete;
  TNotifyEvent OnSendStart;
  TNotifyEvent OnSuccess;
  TNotifyEvent OnFailure;
  TFileItem OnEncodeStart;
  TFileItem OnEncodeEnd;
  TFileItem OnAttachmentNotFound;
  TRecipientNotFound OnRecipientNotFound;
  /// Published for completeness; nothing fires it.
  TMailListReturn OnMailListReturn;
  THandlerEvent OnAuthenticationFailed;

 private:
  /// Reads the server's greeting.
  void AwaitGreeting();
  /// HELO, or EHLO (keeping its capabilities) when encrypting or logging in,
  /// or when the send asks for a service extension: then a server that
  /// refuses EHLO for good gets HELO (RFC 5321 3.2).
  void SayHello();
  /// Sends step (HELO or EHLO) with EhloName; true when accepted. False for
  /// a permanent refusal when optional; any other refusal raises (after
  /// OnAuthenticationFailed has had one chance to mend it).
  bool Greet(const DialogueStep& step, bool optional);
  /// True when the send asks for what only an extension gives (DSN).
  bool AsksForExtensions() const;
  /// STARTTLS, offered and accepted with 220, then the TLS handshake.
  void RequestTls();
  /// The TLS handshake, within the standard wait for a command where the
  /// job set no time-out.
  void BeginTls();
  /// The AUTH exchange of the chosen mechanism.
  void LogIn();
  /// The engine of this client's dialogue steps.
  TSmtpDialogue Dialogue();
  /// The size of the data that follows DATA; raises kErrMessageTooLarge
  /// when the server named a smaller limit.
  std::uint64_t CheckedMessageSize(const std::string& header) const;
  platform::TlsSettings TlsSettings() const;
  void SayGoodbye();
  /// The RSET ... "." part of SendMail, in as many transactions as it takes.
  void Deliver(const std::string& header);
  /// The parameters of MAIL FROM: BODY, SIZE, and the DSN ones.
  std::string MailParameters(std::uint64_t size);
  /// Reports a note (OnNote, and the status text at the reply level).
  void Note(const std::string& text);
  /// Puts "***" in place of every secret in e's text.
  void RedactSecrets(Exception& e) const;
  /// True when an entry of the recipient lists names a mailbox.
  bool NamesRecipient();
  void RequireCompleteMessage();
  /// The FinalHeader lines, each ended by CR LF, then two more CR LF; raises
  /// ERangeError when one Write cannot carry it.
  std::string HeaderBlock();
  void RefuseLineBreaksInMessage();
  void RefuseLineBreaksInRecipients();
  void RefuseLineBreaksInEnvelope();

  /// How the text goes: as written, labelled 8bit, or quoted-printable.
  enum class TextEncoding { kAsWritten, kEightBit, kQuotedPrintable };

  TextEncoding ChosenTextEncoding(const TStringList& text) const;
  /// True when an HTML text goes with a plain text alternative (or with
  /// images of its own): multipart/alternative.
  bool HasAlternative();
  void ComposeHeader();
  /// A boundary from DrawBoundary, kept in boundaries_.
  std::string NewBoundary();
  void AddRecipientLine(const std::string& prefix, const TStringList& list);
  std::vector<std::string> RecipientLines(const std::string& prefix, const TStringList& list) const;
  void AddLines(const std::vector<std::string>& lines);
  void ComposeBody();
  static std::string MultipartLine(std::string_view subtype, const std::string& boundary);
  /// The header of a text part, its empty line included.
  static std::string TextPartHeader(std::string_view contentType, std::string_view charset, TextEncoding encoding);
  /// The alternative part's content: the plain text, then the HTML, with
  /// its images in a related part.
  void WriteAlternative();
  void WriteText(const TStringList& text, TextEncoding encoding);
  void WriteQuotedPrintableText(const TStringList& text);
  /// Writes the part of the file at entry after a line of boundary: an
  /// attachment, or, with a contentId, an image that the HTML shows; of
  /// mediaType, or where that is empty the one of its name.
  void WriteFilePart(const std::string& boundary, const std::string& entry, const std::string& contentId,
                     std::string_view mediaType = {});

  /// How an attachment goes: its type, its transfer encoding's line, the
  /// encoder of its lines and the size they take.
  struct AttachmentForm {
    std::string_view mediaType;
    std::string_view encodingLine;
    std::unique_ptr<TPartEncoder> encoder;
    std::int64_t size;
  };
  /// The form of file, named as mediaType: base64 or uuencode lines, or,
  /// read through once (leaving it at its start), quoted-printable text or
  /// a message's 7bit lines.
  AttachmentForm ChosenAttachmentForm(TFileStream& file, std::string_view mediaType);
  std::string FilePartHeader(const std::string& fileName, const AttachmentForm& form,
                             const std::string& contentId) const;
  /// A file name outside ASCII in UTF-8: as it is when it is UTF-8, else
  /// converted from FileNameCharset or, failing that, Charset; nullopt
  /// when neither holds it.
  std::optional<std::string> FileNameInUtf8(const std::string& fileName) const;

  TPostMessage post_message_;
  TMessageStream body_stream_;
  TExStringList final_header_;
  bool busy_ = false;
  std::string boundary_;
  TSendRecord send_;
  TextEncoding textEncoding_ = TextEncoding::kAsWritten;
  TextEncoding alternativeEncoding_ = TextEncoding::kAsWritten;
  std::string alternativeBoundary_;
  std::string relatedBoundary_;
  /// Those of the message being composed, outermost first.
  std::vector<std::string> boundaries_;
  /// Text of the message being composed holds a line that Delimits.
  bool boundaryMet_ = false;
  TSmtpCapabilities capabilities_;
};
