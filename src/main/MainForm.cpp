#include "main/MainForm.h"

#include <memory>
#include <optional>
#include <string_view>

#include "cmdline/LongOptions.h"
#include "cmdline/StrFuncs.h"
#include "core/Application.h"
#include "core/Wipe.h"
#include "main/ExternalPassword.h"
#include "main/MailException.h"
#include "main/MessageSwitches.h"
#include "main/RefusalAdvice.h"
#include "main/SwitchReview.h"
#include "main/SwitchValues.h"
#include "main/Version.h"
#include "net/SocketTexts.h"
#include "oauth/OAuthErrors.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/Tls.h"
#include "smtp/Dialogue.h"
#include "smtp/MessageText.h"
#include "smtp/Retry.h"
#include "smtp/SmtpTexts.h"

namespace {

constexpr std::string_view kHelpText =
    "Command line switches:\r"
    "=========================================\r"
    "/B:FileName.ext - file name,what contain message body\r"
    "/T:FileName.ext - file name,what contain recipients address list\r"
    "/F:MailAddr - sender (your) address\r"
    "/S:Subject  - message subject (optional)\r"
    "/SMTP:Server - mail SMTP server\r"
    "/U:User ID - SMTP server user name if need\r"
    "/H,/? - this short help\r"
    "/NM - don`t show \"Sended success\" message\r"
    "/NE - don`t show error messages\r"
    "/RR - send answer reply to recipient\r"
    "/ES - extended command line switches processing. All switches should be started at \"/\"!\r"
    "/A:FileName.ext - file name, what contain attachment file names (one file - one file)\r"
    "\r"
    "Message charsets:\r"
    "=========================================\r"
    "/CS:CharSet - charset for message. Windows-1251 as default\r"
    "/SD - Subject in OEM (DOS) charset\r"
    "/SK - Subject in KOI-8 charset\r"
    "As default subject sended in ANSI charset\r"
    "\r"
    "Message format:\r"
    "=========================================\r"
    "/FP - simple text (as default)\r"
    "/FE - Enriched text\r"
    "/FS - SGML\r"
    "/FTS - Tab separated text\r"
    "/FH - HTML";
// Short lines: a message box wraps its text at about 45 letters, and the
// whole help must stand on a 1024x768 screen.
constexpr std::string_view kFurtherSwitchesHead = "\r\rFurther switches (%s):\r";
constexpr std::string_view kFurtherSwitches =
    "=========================================\r"
    "/U names this machine; /LOGIN:User logs in\r"
    "/CC:File /RCPT:File - copies, blind copies\r"
    "/REPLYTO:MailAddr - where replies go\r"
    "/ENCLOSE:File - attach this file too\r"
    "/PLAINTEXT:File - text of an HTML body\r"
    "/ENCRYPT:TLS|STARTTLS|NONE - encryption\r"
    "/CAFILE:File /INSECURE - certificate check\r"
    "/LOGIN:User /PWF:File /PW:Password\r"
    "/PWCRED:Name (Windows), /PWCMD:Cmd (Linux)\r"
    "/MECH:Name /OAUTH:File /OAUTHSETUP:File\r"
    "/WAIT:Seconds /RETRY:Count[:Seconds]\r"
    "/V[:Level] /LOG:File - status texts, run log\r"
    "/NOPARTIAL /MAXRCPT:Count - recipients\r"
    "/DSN:Events /DSNRET:HDRS|FULL - notices\r"
    "/VERSION - the version\r"
    "\r"
    "Exit codes: 0 sent, 4 failed (try later),\r"
    "5 unusable settings (nothing sent)\r"
    "Guide: ";
constexpr std::string_view kMissingBody = "Missing message body. (File %s not found).";
constexpr std::string_view kMissingRecipients = "Missing recipients address list. (File %s not found).";
constexpr std::string_view kMissingEnclosure = "The file to attach %s does not exist.";
constexpr std::string_view kMissingAttachmentList = "The attachment list %s does not exist.";
constexpr std::string_view kMissingListedFile = "The file %s, named in the attachment list ";
constexpr std::string_view kMissingListedFileEnd = ", does not exist.";
constexpr std::string_view kServerCut = "The SMTP server name %s is cut short.";
constexpr std::string_view kRecipientLinesTooLong =
    "The message header is too long to send: its To: and CC: lines alone are %s bytes (at most 65535). /RCPT "
    "sends to a list without naming it in the header.";
constexpr std::string_view kUnreadableStandardInput = "The message body cannot be read from standard input.";
constexpr std::string_view kVersionText = "mailshot %s";
constexpr std::string_view kMissingSender = "Missing sender address.";
constexpr std::string_view kServerNotSpecified = "SMTP server not specified.";
constexpr std::string_view kSendSuccess = "Message sended success.";
constexpr std::string_view kCannotSend = "Can`t send message.";
constexpr std::string_view kCannotConnect = "Can`t connect to SMTP mail server ";
constexpr std::string_view kServerNotFound = "SMTP server %s not found.";
constexpr std::string_view kReceiptRequest = "Disposition-Notification-To:<%s>";
constexpr std::string_view kDefaultCharset = "Windows-1251";
constexpr std::string_view kBadEncryption = "The value of switch /ENCRYPT must be TLS, STARTTLS or NONE, not \"%s\".";
constexpr std::string_view kSwitchTakesNoValue = "The switch /%s takes no value.";
constexpr std::string_view kTrustWithoutTls =
    "The switches /CAFILE and /INSECURE apply only with /ENCRYPT:TLS or /ENCRYPT:STARTTLS.";
constexpr std::string_view kSwitchNeedsValue = "The switch /%s needs a value.";
constexpr std::string_view kLoginSwitchesAlone =
    "The switches /PW, /PWF, /PWCRED, /PWCMD and /MECH apply only with /LOGIN.";
constexpr std::string_view kLoginNeedsEncryption =
    "The switch /LOGIN sends a password: add /ENCRYPT:STARTTLS or /ENCRYPT:TLS to send it encrypted, or "
    "/ENCRYPT:NONE to send it in plain text knowingly.";
constexpr std::string_view kLoginNeedsPassword =
    "The switch /LOGIN needs a password: the first line of a file named with /PWF, the value of /PW, or the "
    "environment variable MAILSHOT_PASSWORD.";
constexpr std::string_view kBadMechanism =
    "The value of switch /MECH must be PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER, not \"%s\".";
constexpr std::string_view kCredentialsTooLong = "The user name and the password may have at most 16384 bytes each.";
constexpr std::string_view kPasswordVariable = "MAILSHOT_PASSWORD";
constexpr std::string_view kPasswordFileOrigin = "the file ";
constexpr std::string_view kPasswordVariableOrigin = "the environment variable ";
constexpr TAuthMechanism kNamedMechanisms[] = {amPlain, amLogin, amXOAuth2, amOAuthBearer};
// "Retry 2 of 3 in 120 s: " and the reason.
constexpr std::string_view kRetry = "Retry ";
constexpr std::string_view kRetryOf = " of ";
constexpr std::string_view kRetryIn = " in ";
constexpr std::string_view kRetrySeconds = " s: ";
/// A refused recipient's mailbox follows, then ": " and the server's refusal.
constexpr std::string_view kNotAccepted = "Not accepted: ";
constexpr std::string_view kLogNotAccepted = "not accepted: ";
/// What a box says after as many lines of a list as it has room for.
constexpr std::string_view kMoreInLog = "and %s more (the log names them all)";
constexpr std::string_view kMoreWithoutLog = "and %s more (a run with /LOG:file names them all)";
/// Follows the time-out's text when no greeting came on a connection without TLS.
constexpr std::string_view kTlsPortHint = "; the port may expect TLS from the first byte: /ENCRYPT:TLS";
constexpr std::uint16_t kImplicitTlsPort = 465;

/// The values of /ENCRYPT, compared without regard to case.
struct EncryptionValue {
  std::string_view name;
  TEncryption encryption;
};
constexpr EncryptionValue kEncryptionValues[] = {{"NONE", ecNone}, {"TLS", ecTls}, {"STARTTLS", ecStartTls}};

TEncryption EncryptionOf(const std::string& value) {
  for (const EncryptionValue& known : kEncryptionValues) {
    if (platform::AnsiCompareText(value, std::string(known.name)) == 0) return known.encryption;
  }
  throw EMailException(FillPlaceholder(kBadEncryption, value));
}

TAuthMechanism MechanismOf(const std::string& value) {
  for (const TAuthMechanism mechanism : kNamedMechanisms) {
    if (platform::AnsiCompareText(value, std::string(AuthMechanismName(mechanism))) == 0) return mechanism;
  }
  throw EMailException(FillPlaceholder(kBadMechanism, value));
}

/// The body formats in the order tested; the last one present wins.
struct FormatSwitch {
  const char* name;
  TSubType subType;
};
constexpr FormatSwitch kFormatSwitches[] = {
    {"FP", mtPlain}, {"FE", mtEnriched}, {"FS", mtSgml}, {"FTS", mtTabSeperated}, {"FH", mtHtml},
};

/// The texts of a failure's boxes as one line: each run of line breaks as a
/// blank, ": " between them (a blank after a full stop).
std::string OneLine(const std::vector<std::string>& texts) {
  std::string line;
  for (const std::string& text : texts) {
    if (!line.empty()) line += line.back() == '.' ? " " : ": ";
    bool afterBreak = false;
    for (const char c : smtp_text::WithoutLineEnd(text)) {
      const bool lineBreak = c == '\r' || c == '\n';
      if (!lineBreak) {
        line += c;
      } else if (!afterBreak) {
        line += ' ';  // one blank for CR LF, a lone CR or LF, or several
      }
      afterBreak = lineBreak;
    }
  }
  return line;
}

/// The lines of a box, one after the other.
std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += '\r';
    text += line;
  }
  return text;
}

}  // namespace

std::string MessageOf(const std::exception& e) {
  if (const auto* exception = dynamic_cast<const Exception*>(&e)) return exception->Message();
  return e.what();
}

TApplicationEvents::TApplicationEvents(TComponent* owner) : TComponent(owner) {
  SetApplicationExceptionHandler([this](const std::exception& e) {
    if (OnException) OnException(this, e);
  });
}

TApplicationEvents::~TApplicationEvents() { SetApplicationExceptionHandler({}); }

TForm1::TForm1(TFormSurface& surface)
    : TComponent(nullptr),
      surface_(surface),
      cmdP_(new TCmdLineParser(this)),
      qxSMTP1_(new TQxSMTP(this)),
      applicationEvents1_(new TApplicationEvents(this)),
      runLog_(qxSMTP1_->Secrets),
      oauth_(surface, runLog_, qxSMTP1_->Secrets, qxSMTP1_->ReportLevel) {
  cmdP_->SetSwitchChars("/");
  cmdP_->SetParamValueDelimiter(":");
  cmdP_->SetIncludeSwitchChars(true);
  cmdP_->SetLongOptions(platform::TakesLongOptions());

  TQxSMTP& smtp = *qxSMTP1_;
  smtp.Port = 25;
  smtp.ReportLevel = 0;
  smtp.EncodeType = uuMime;
  smtp.ClearParams = true;
  // Each attempt connects, sends once and says goodbye.
  smtp.QuitAfterSend = true;
  smtp.SubType = mtPlain;
  smtp.Charset = std::string(kDefaultCharset);
  smtp.OnInvalidHost = [this](bool& Handled) { QxSMTP1InvalidHost(Handled); };
  smtp.OnStatus = [this](TObject* Sender, const std::string& Status) { QxSMTP1Status(Sender, Status); };
  smtp.OnConnectionFailed = [this](TObject* Sender) { QxSMTP1ConnectionFailed(Sender); };
  smtp.OnProgress = [this](const std::string& progress) {
    surface_.ShowProgress(progress);
    surface_.ProcessMessages();
  };
  smtp.OnSendStart = [this](TObject* Sender) { QxSMTP1SendStart(Sender); };
  smtp.OnSuccess = [this](TObject* Sender) { QxSMTP1Success(Sender); };
  smtp.OnFailure = [this](TObject* Sender) { QxSMTP1Failure(Sender); };

  applicationEvents1_->OnException = [this](TObject* Sender, const std::exception& E) {
    ApplicationEvents1Exception(Sender, E);
  };

  ShowSuccess = true;
  HideErrors = false;
}

void TForm1::FormShow() {
  RunJob();
  SetExitCode(kExitDone);
  Close();
}

void TForm1::RunJob() {
  if (!PrepareJob()) return;
  if (signInOnly_) {
    const std::string signedIn = oauth_.SignIn();
    runLog_.Write(std::string(kLogSuccess) + signedIn);
    if (ShowSuccess) ShowInfo(WithLogWarning(signedIn));
    return;
  }
  for (int retry = 1;; ++retry) {
    holdErrors_ = retry <= retry_.Count;
    try {
      RunAttempt();
      holdErrors_ = false;
      if (!retryRefused_) return;
      // Sent, but some recipients were put off: the next attempt is theirs alone.
      retryRefused_ = false;
      heldErrors_ = tally_.RefusalLines(*qxSMTP1_, kNotAccepted);
    } catch (const std::exception& e) {
      const bool again = holdErrors_ && IsTransientFailure(*qxSMTP1_, e);
      holdErrors_ = false;
      if (!again) {
        ReleaseHeldErrors();
        throw;
      }
      heldErrors_.push_back(MessageOf(e));
    }
    const std::string reason = OneLine(heldErrors_);
    heldErrors_.clear();
    // Whoever has the message, or refused it for good, gets no RCPT TO again.
    tally_.Settle(*qxSMTP1_);
    PrepareRetry(retry, reason);
  }
}

void TForm1::RunAttempt() {
  // A token step that fails tells nothing of the last attempt's recipients.
  qxSMTP1_->ForgetLastSend();
  // Each attempt's token: the one kept while it lasts, else a fresh one,
  // written to the token file before the connection opens.
  if (tokenLogin_) qxSMTP1_->Password = oauth_.AccessToken();
  runLog_.Write(std::string(kLogConnecting) + qxSMTP1_->Host + " port " + std::to_string(qxSMTP1_->Port));
  qxSMTP1_->Connect();
  // A server that hung up right after the greeting leaves no connection:
  // SendMail then fails with "Not Connected", where skipping it would end
  // the job as if the message had gone.
  qxSMTP1_->SendMail();
  qxSMTP1_->Disconnect();
}

void TForm1::PrepareRetry(int retry, const std::string& reason) {
  const std::uint32_t seconds = retry_.WaitBefore(retry);
  const std::string announcement = std::string(kRetry) + std::to_string(retry) + std::string(kRetryOf) +
                                   std::to_string(retry_.Count) + std::string(kRetryIn) + std::to_string(seconds) +
                                   std::string(kRetrySeconds) + reason;
  runLog_.Write(announcement);
  // A job that asked for silence (cron mails whatever reaches standard
  // error) hears of a retry through /V alone: it may yet succeed.
  if (HideErrors) {
    qxSMTP1_->ReportStatus(kLevelReply, announcement);
  } else {
    surface_.SetStatusText(Shown(announcement));
  }
  // The server learns at once that this transaction is over; a refusal
  // left the connection open.
  if (qxSMTP1_->Connected) {
    try {
      qxSMTP1_->Disconnect();
    } catch (const std::exception&) {
      // Closed all the same; the next attempt starts afresh.
    }
  }
  surface_.Wait(seconds * 1000);
  if (!qxSMTP1_->LoginName.empty() && !tokenLogin_) LoadPassword();
}

void TForm1::ReleaseHeldErrors() {
  std::vector<std::string> held;
  held.swap(heldErrors_);
  for (const std::string& text : held) ReportError(text);
}

bool TForm1::PrepareJob() {
  TCmdLineParser& cmd = *cmdP_;
  cmd.SetIncludeSwitchChars(false);
  cmd.SetSwitchChars("/-");
  ParseCommandLine();
  if (cmd.ParamExists("ES")) {
    cmd.SetSwitchChars("/");
    ParseCommandLine();
  }
  const TSwitchReview review = ReviewSwitches(cmd, kSecretSwitches);
  if (cmd.ParamsCount() == 0 || review.helpAsked) {
    ShowHelp();
    return false;
  }
  if (cmd.ParamExistsExactly("VERSION")) {
    ShowVersion();
    return false;
  }
  // Where nobody can see a box, nobody can dismiss one: the job would wait forever.
  // By whole name: a longer one (/NEWSLETTER cut out of a path) is refused below, and that must show.
  ShowSuccess = !cmd.ParamExistsExactly("NM") && surface_.Attended();
  HideErrors = cmd.ParamExistsExactly("NE") || !surface_.Attended();
  // A log under a name cut short would be written where nobody looks for it.
  if (review.CutShort("LOG")) throw EMailException(CutRefusal("LOG"));
  ApplyRunSwitches();
  // What the command line lost is told where the run is told of: the log and /V.
  for (const std::string& note : review.notes) TellRun(note);
  if (!review.refusal.empty()) throw EMailException(review.refusal);
  // After the checks that name a value a "-" cut short (a file not found
  // under the shortened name), whose texts tell more; before any setting
  // reaches outside (a password command, a token file).
  const auto refuseCutValues = [&review] {
    if (!review.cutShort.empty()) throw EMailException(CutRefusal(review.cutShort.front()));
  };
  // A sign-in sends no mail: it needs none of the message's switches.
  if (TOAuthRun::SignInAsked(cmd)) {
    refuseCutValues();
    oauth_.ReadSignIn(cmd, qxSMTP1_->TimeOut);
    signInOnly_ = true;
    return true;
  }

  TQxSMTP& smtp = *qxSMTP1_;
  TPostMessage& message = smtp.PostMessage();
  if (cmd.ParamExists("B")) LoadBody(message.Body());
  if (cmd.ParamExists("U")) {
    smtp.UserID = cmd.GetParamValue("U");
    RefuseLineBreaks("U", smtp.UserID);
  }
  if (cmd.ParamExists("T")) LoadNamedList(cmd, "T", message.ToAddress(), kMissingRecipients);
  if (cmd.ParamExists("F")) message.FromAddress = cmd.GetParamValue("F");
  if (Trim(message.FromAddress).empty()) throw EMailException(std::string(kMissingSender));
  RefuseLineBreaks("F", message.FromAddress);
  // A strict server refuses such a sender only after the connection, a lenient one sends as it.
  RefuseNoMailAddress("F", message.FromAddress, CutHint(cmd, "F"));
  if (cmd.ParamExists("S")) message.Subject = cmd.GetParamValue("S");
  bool serverNamesPort = false;
  if (cmd.ParamExists("SMTP")) {
    const TServerAddress server = SplitServerAddress(cmd.GetParamValue("SMTP"));
    smtp.Host = server.Host;
    if (server.Port) smtp.Port = *server.Port;
    serverNamesPort = server.Port.has_value();
  }
  if (Trim(smtp.Host).empty()) throw EMailException(std::string(kServerNotSpecified));
  // Looked up, the part before the "-" could name another host altogether.
  if (cmd.ValueCut("SMTP")) throw EMailException(FillPlaceholder(kServerCut, smtp.Host) + CutHint(cmd, "SMTP"));
  RefuseLineBreaks("SMTP", smtp.Host);
  smtp.Charset = cmd.ParamExists("CS") ? MailCharsetOf(cmd.GetParamValue("CS"), cmd.ValueCut("CS"))
                                       : std::string(kDefaultCharset);
  if (cmd.ParamExists("SD")) message.Subject = platform::ConvertAnsiToOem(message.Subject);
  if (cmd.ParamExists("SK")) message.Subject = platform::ConvertAnsiToKoi8r(message.Subject);
  RefuseLineBreaks("S", message.Subject);
  for (const FormatSwitch& format : kFormatSwitches) {
    if (cmd.ParamExists(format.name)) smtp.SubType = format.subType;
  }
  if (cmd.ParamExists("A")) LoadAttachmentList(message.Attachments());
  // Each file named on its own must be there: unlike a list's entries,
  // it was asked for by name on this command line.
  for (const std::string& path : cmd.GetParamValues("ENCLOSE")) {
    RefuseLineBreaks("ENCLOSE", path);  // the name goes into the part's header
    if (!platform::FileExists(path)) {
      throw EMailException(FillPlaceholder(kMissingEnclosure, path) + CutHint(cmd, "ENCLOSE"));
    }
    message.Attachments().Add(path);
  }
  ApplyMessageSwitches(cmd, smtp, [this](const std::string& note) { TellRun(note); });
  RefuseMissingAttachments();
  // Known now, where the server would refuse it only after the connection.
  const std::size_t recipientLines = smtp.RecipientLinesSize();
  if (recipientLines >= static_cast<std::size_t>(kIoBufferData)) {
    throw EMailException(FillPlaceholder(kRecipientLinesTooLong, std::to_string(recipientLines)));
  }
  refuseCutValues();
  ApplyEncryptionSwitches(serverNamesPort);
  ApplyLoginSwitches();
  ApplyOutcomeSwitches();
  return true;
}

void TForm1::TellRun(const std::string& note) {
  runLog_.Write(note);
  qxSMTP1_->ReportStatus(kLevelReply, note);
}

void TForm1::ApplyOutcomeSwitches() {
  const TCmdLineParser& cmd = *cmdP_;
  if (cmd.ParamExistsExactly("RETRY")) retry_ = RetryOf(ValueOf("RETRY"));
  if (cmd.ParamExistsExactly("NOPARTIAL")) {
    RefuseValue("NOPARTIAL");
    qxSMTP1_->AllRecipientsRequired = true;
  }
  TQxSMTP& smtp = *qxSMTP1_;
  // A retry for the recipients a server put off needs the lists after a send.
  smtp.ClearParams = retry_.Count == 0;
  if (cmd.ParamExistsExactly("MAXRCPT")) smtp.MaxRecipients = MaxRecipientsOf(ValueOf("MAXRCPT"));
  if (cmd.ParamExistsExactly("DSN")) smtp.DsnNotify = DsnNotifyOf(ValueOf("DSN"));
  if (cmd.ParamExistsExactly("DSNRET")) smtp.DsnReturn = DsnReturnOf(ValueOf("DSNRET"));
  if (!smtp.DsnNotify.empty() || !smtp.DsnReturn.empty()) {
    // The message's own identifier, so that a notice names the job it is about.
    const std::string& id = smtp.PostMessage().MessageId;
    smtp.DsnEnvelopeId = id.size() > 2 && id.front() == '<' && id.back() == '>' ? id.substr(1, id.size() - 2) : id;
    runLog_.Write(std::string(kLogEnvelopeId) + smtp.DsnEnvelopeId);
  }
}

void TForm1::RefuseValue(const char* name) const {
  // Without a value the parser gives the switch's name as it was typed.
  if (platform::AnsiCompareText(cmdP_->GetParamValue(name), name) != 0) {
    throw EMailException(FillPlaceholder(kSwitchTakesNoValue, name));
  }
}

void TForm1::ParseCommandLine() {
  try {
    cmdP_->Parse();
  } catch (const ECommandLineError& e) {
    throw EMailException(e.Message());
  }
}

void TForm1::ApplyRunSwitches() {
  TCmdLineParser& cmd = *cmdP_;
  TQxSMTP& smtp = *qxSMTP1_;
  // The log first, so that it also tells of an unusable setting after it.
  if (cmd.ParamExistsExactly("LOG")) {
    runLog_.Open(cmd.GetParamValue("LOG"));
    // Every name of the run is taken from the working directory.
    runLog_.Write(FillPlaceholder(kVersionText, kProgramVersion));
    runLog_.Write(std::string(kLogWorkingDirectory) + platform::WorkingDirectory());
    const std::unique_ptr<TCmdLineParser> wide = WideParser(cmd);
    runLog_.Write(std::string(kLogCommandLine) + MaskedCommandLine(wide ? *wide : cmd, kSecretSwitches));
    smtp.OnTrace = [this](TObject*, const TTraceEvent& event) { runLog_.Trace(*qxSMTP1_, event); };
    smtp.OnNote = [this](const std::string& note) { runLog_.Write(note); };
  }
  if (cmd.ParamExistsExactly("WAIT")) {
    smtp.TimeOut = WaitSeconds(ValueOf("WAIT")) * 1000;
    smtp.TimeSends = true;
  }
  if (cmd.ParamExistsExactly("V")) smtp.ReportLevel = ReportLevelOf(cmd.GetParamValue("V"));
}

void TForm1::ApplyEncryptionSwitches(bool serverNamesPort) {
  const TCmdLineParser& cmd = *cmdP_;
  TQxSMTP& smtp = *qxSMTP1_;
  if (cmd.ParamExistsExactly("ENCRYPT")) smtp.Encryption = EncryptionOf(cmd.GetParamValue("ENCRYPT"));
  const bool caFileGiven = cmd.ParamExistsExactly("CAFILE");
  if (caFileGiven) {
    smtp.CaFile = cmd.GetParamValue("CAFILE");
    const std::string problem = platform::CaFileProblem(smtp.CaFile);
    if (!problem.empty()) throw EMailException(problem);
  }
  if (cmd.ParamExistsExactly("INSECURE")) {
    RefuseValue("INSECURE");
    smtp.Insecure = true;
  }
  // Trust settings without TLS would send in clear a message meant to be encrypted.
  if (smtp.Encryption == ecNone && (caFileGiven || smtp.Insecure)) throw EMailException(std::string(kTrustWithoutTls));
  if (smtp.Encryption == ecTls && !serverNamesPort) smtp.Port = kImplicitTlsPort;
}

void TForm1::ApplyLoginSwitches() {
  const TCmdLineParser& cmd = *cmdP_;
  TQxSMTP& smtp = *qxSMTP1_;
  if (!cmd.ParamExistsExactly("LOGIN")) {
    if (cmd.ParamExistsExactly("PW") || cmd.ParamExistsExactly("PWF") || ExternalPasswordAsked(cmd) ||
        cmd.ParamExistsExactly("MECH")) {
      throw EMailException(std::string(kLoginSwitchesAlone));
    }
    oauth_.ReadTokenSwitch(cmd, false, smtp.AuthMechanism, smtp.CaFile, smtp.TimeOut);
    return;
  }
  smtp.LoginName = ValueOf("LOGIN");
  RefuseLineBreaks("LOGIN", smtp.LoginName);
  // A password in plain text must be asked for: /ENCRYPT:NONE said aloud.
  if (!cmd.ParamExistsExactly("ENCRYPT")) throw EMailException(std::string(kLoginNeedsEncryption));
  if (cmd.ParamExistsExactly("MECH")) smtp.AuthMechanism = MechanismOf(cmd.GetParamValue("MECH"));
  if (CredentialTooLong(smtp.LoginName)) throw EMailException(std::string(kCredentialsTooLong));
  tokenLogin_ = oauth_.ReadTokenSwitch(cmd, true, smtp.AuthMechanism, smtp.CaFile, smtp.TimeOut);
  if (tokenLogin_) {
    smtp.OnTokenRefused = [this](const std::string& refused) { return oauth_.TokenAfterRefusal(refused); };
    return;
  }
  LoadPassword();
}

void TForm1::LoadPassword() {
  const TCmdLineParser& cmd = *cmdP_;
  TQxSMTP& smtp = *qxSMTP1_;
  std::string password;
  const TWipeOnExit wipePassword(password);
  if (ExternalPasswordAsked(cmd)) {
    password = ExternalPassword(cmd, smtp.TimeOut);
  } else if (cmd.ParamExistsExactly("PWF")) {
    const std::string path = ValueOf("PWF");
    password = PasswordFromFile(path, kLongestCredential);
    RefuseLineBreaksInPassword(std::string(kPasswordFileOrigin) + path, password);
  } else if (cmd.ParamExistsExactly("PW")) {
    password = ValueOf("PW");
    RefuseLineBreaks("PW", password);
  } else if (std::optional<std::string> variable = platform::EnvironmentVariable(std::string(kPasswordVariable))) {
    password = *variable;
    Wipe(*variable);
    RefuseLineBreaksInPassword(std::string(kPasswordVariableOrigin) + std::string(kPasswordVariable), password);
  }
  if (password.empty()) throw EMailException(std::string(kLoginNeedsPassword));
  smtp.Secrets.Add(password);
  if (CredentialTooLong(smtp.LoginName) || CredentialTooLong(password)) {
    throw EMailException(std::string(kCredentialsTooLong));
  }
  smtp.Password = password;  // made to its size at once; the local copy is wiped
}

std::string TForm1::ValueOf(const char* name) const {
  // Without a value the parser gives the switch's own name; so does a value
  // that equals it, which no user name or password is worth being.
  std::string value = cmdP_->GetParamValue(name);
  if (value.empty() || value == name) throw EMailException(FillPlaceholder(kSwitchNeedsValue, name));
  return value;
}

void TForm1::LoadBody(TStringList& body) {
  if (cmdP_->LongOptionsGiven() && cmdP_->GetParamValue("B") == kStandardInputValue) {
    const std::optional<std::string> text = platform::ReadStandardInput();
    // Nothing can be sent, this run or the next: an unusable setting.
    if (!text) throw EMailException(std::string(kUnreadableStandardInput));
    body.SetText(*text);
    return;
  }
  LoadNamedList(*cmdP_, "B", body, kMissingBody);
}

void TForm1::LoadAttachmentList(TStringList& attachments) {
  // A report sent without its attachment is lost work: a missing file is an
  // unusable setting, found before the connection.
  const std::string list = cmdP_->GetParamValue("A");
  if (!platform::FileExists(list)) {
    throw EMailException(FillPlaceholder(kMissingAttachmentList, list) + CutHint(*cmdP_, "A"));
  }
  attachments.LoadFromFile(list);
  // As in a recipient list, blanks around a name are no part of it, and a blank line names nothing.
  for (int i = attachments.Count() - 1; i >= 0; --i) {
    std::string name = Trim(attachments[i]);
    if (name.empty()) {
      attachments.Delete(i);
    } else {
      attachments.Put(i, std::move(name));
    }
  }
}

void TForm1::RefuseMissingAttachments() {
  // After the byte order mark went; the files of /ENCLOSE were checked already.
  const TStringList& attachments = qxSMTP1_->PostMessage().Attachments();
  for (int i = 0; i < attachments.Count(); ++i) {
    if (!platform::FileExists(attachments[i])) {
      throw EMailException(FillPlaceholder(kMissingListedFile, attachments[i]) + cmdP_->GetParamValue("A") +
                           std::string(kMissingListedFileEnd));
    }
  }
}

void TForm1::RunEnded() {
  runLog_.Write(std::string(kLogExitCode) + std::to_string(exitCode_));
  // Without a box (or when the log failed after the last one) the warning
  // goes where status texts go: a box would stop a job that nobody watches.
  if (!runLog_.Problem().empty() && !logWarningShown_) surface_.SetStatusText(runLog_.Problem());
}

void TForm1::ShowHelp() {
  // Where long options are the custom, a bare command asks for their help.
  const bool longHelp = cmdP_->LongOptionsGiven() || (cmdP_->LongOptions() && cmdP_->Arguments().size() <= 1);
  if (surface_.Attended()) ShowInfo(longHelp ? LongOptionHelp() : SwitchHelp());
  SetExitCode(kExitDone);
  Close();
}

std::string SwitchHelp() {
  // The original list first, as it always read; then what came since.
  return std::string(kHelpText) + FillPlaceholder(kFurtherSwitchesHead, platform::FurtherReading()) +
         std::string(kFurtherSwitches) + std::string(platform::GuidePlace());
}

void TForm1::ShowVersion() {
  surface_.ShowNotice(FillPlaceholder(kVersionText, kProgramVersion));
  SetExitCode(kExitDone);
  Close();
}

void TForm1::ShowError(const std::string& text) { surface_.ShowBox(TBoxKind::Error, Shown(text)); }

void TForm1::ShowInfo(const std::string& text) { surface_.ShowBox(TBoxKind::Information, Shown(text)); }

std::string TForm1::Shown(const std::string& text) const { return qxSMTP1_->Secrets.Redacted(text); }

void TForm1::QxSMTP1Status(TObject*, const std::string& Status) {
  // A reply's CR LF would show as two boxes in the one-line panel.
  surface_.SetStatusText(Shown(smtp_text::WithoutLineEnd(Status)));
  surface_.ProcessMessages();
}

void TForm1::QxSMTP1SendStart(TObject*) {
  if (cmdP_->ParamExists("RR")) {
    qxSMTP1_->FinalHeader().Add(FillPlaceholder(kReceiptRequest, qxSMTP1_->PostMessage().FromAddress));
  }
}

void TForm1::QxSMTP1Success(TObject*) {
  if (holdErrors_ && TRecipientTally::HasPassingRefusals(*qxSMTP1_)) {
    retryRefused_ = true;  // the outcome is the last attempt's to tell
    return;
  }
  runLog_.Write(std::string(kLogSuccess) + std::string(kSendSuccess));
  LogRefusedRecipients();
  if (ShowSuccess) {
    ShowInfo(WithLogWarning(WithRefusedRecipients(std::string(kSendSuccess))));
  } else if (!HideErrors) {
    // No success text was asked for, but a recipient who did not get the
    // message is a failure of its own.
    const std::vector<std::string> refusals = tally_.RefusalLines(*qxSMTP1_, kNotAccepted);
    if (!refusals.empty()) ShowError(WithLogWarning(Joined(BoxList(refusals))));
  }
  SetExitCode(kExitDone);
  Close();
}

void TForm1::QxSMTP1Failure(TObject*) {
  ReportError(std::string(kCannotSend));
  SetExitCode(kExitRefusedAfterData);
  Close();
}

void TForm1::QxSMTP1ConnectionFailed(TObject*) {
  ReportError(std::string(kCannotConnect) + qxSMTP1_->Host);
  SetExitCode(kExitConnectionFailed);
  Close();
}

void TForm1::QxSMTP1InvalidHost(bool&) {
  ReportError(FillPlaceholder(kServerNotFound, qxSMTP1_->Host));
  SetExitCode(kExitHostNotFound);
  Close();
}

void TForm1::ApplicationEvents1Exception(TObject*, const std::exception& E) {
  const bool unusable =
      dynamic_cast<const EMailException*>(&E) != nullptr || dynamic_cast<const oauth::ESettingsError*>(&E) != nullptr;
  std::string text = unusable ? InUsersTerms(MessageOf(E)) : MessageOf(E);
  if (GreetingTimedOutInClear(E)) text += InUsersTerms(kTlsPortHint);
  // The server's line alone ("535 5.7.139 ...") does not tell a user what to mend.
  const std::string advice =
      InUsersTerms(RefusalAdvice(text, dynamic_cast<const EAuthenticationRefused*>(&E) != nullptr));
  if (!advice.empty()) {
    text = smtp_text::WithoutLineEnd(text) + "\r" + advice;
    // Where no box shows it, /V does, after the reply.
    if (HideErrors) qxSMTP1_->ReportStatus(kLevelReply, advice);
  }
  runLog_.Write(std::string(kLogError) + text);
  // After a delivery (a refused QUIT) the success box named them already.
  const bool delivered = qxSMTP1_->Progress() == TSendProgress::kAccepted;
  std::string shown = text;
  if (!delivered) {
    LogRefusedRecipients();
    // Some transactions may have delivered before this one failed.
    for (const std::string& line : tally_.PartialDeliveryLines(*qxSMTP1_, true)) runLog_.Write(line);
    shown = WithRefusedRecipients(text);
    std::vector<std::string> partial = tally_.PartialDeliveryLines(*qxSMTP1_, false);
    if (!partial.empty()) {
      // The first line tells how many got it; the list of the others follows.
      std::vector<std::string> listed = BoxList({partial.begin() + 1, partial.end()});
      listed.insert(listed.begin(), partial.front());
      shown = smtp_text::WithoutLineEnd(shown) + "\r\r" + Joined(listed);
    }
  }
  if (!HideErrors) ShowError(WithLogWarning(shown));
  SetExitCode(unusable ? kExitUnusableSettings : kExitFailure);
  Close();
}

std::string TForm1::InUsersTerms(std::string_view text) const {
  return cmdP_->LongOptionsGiven() ? InOptionTerms(text) : std::string(text);
}

void TForm1::ReportError(const std::string& text) {
  if (holdErrors_) {
    heldErrors_.push_back(text);
    return;
  }
  runLog_.Write(std::string(kLogError) + text);
  if (!HideErrors) ShowError(text);
}

std::string TForm1::WithRefusedRecipients(const std::string& text) const {
  const std::vector<std::string> refusals = tally_.RefusalLines(*qxSMTP1_, kNotAccepted);
  if (refusals.empty()) return text;
  return smtp_text::WithoutLineEnd(text) + "\r\r" + Joined(BoxList(refusals));
}

std::vector<std::string> TForm1::BoxList(std::vector<std::string> lines) const {
  // A line that says "and 1 more" may as well name it.
  const std::size_t room = surface_.BoxListRoom();
  if (lines.size() <= room || lines.size() - room == 1) return lines;
  const std::string more = std::to_string(lines.size() - room);
  lines.resize(room);
  const bool logged = cmdP_->ParamExistsExactly("LOG") && runLog_.Problem().empty();
  lines.push_back(FillPlaceholder(logged ? kMoreInLog : kMoreWithoutLog, more));
  return lines;
}

bool TForm1::GreetingTimedOutInClear(const std::exception& E) const {
  // A port that speaks TLS from the first byte waits in silence for the
  // client's handshake: asked for STARTTLS, or in clear on that port's
  // usual number. The time-out's text names the reply awaited.
  const TQxSMTP& smtp = *qxSMTP1_;
  const bool clear = smtp.Encryption == ecStartTls || (smtp.Encryption == ecNone && smtp.Port == kImplicitTlsPort);
  const std::string awaited = ": no " + std::string(kGreetingReply) + " within ";
  return clear && smtp.TimedOut && dynamic_cast<const EAbortError*>(&E) != nullptr &&
         MessageOf(E).find(awaited) != std::string::npos;
}

void TForm1::LogRefusedRecipients() {
  for (const std::string& line : tally_.RefusalLines(*qxSMTP1_, kLogNotAccepted)) runLog_.Write(line);
}

std::string TForm1::WithLogWarning(const std::string& text) {
  if (runLog_.Problem().empty()) return text;
  logWarningShown_ = true;
  return text + "\r\r" + runLog_.Problem();
}

void TForm1::Close() { surface_.RequestClose(); }

void TForm1::SetExitCode(int code) {
  exitCode_ = code;
  surface_.SetExitCode(code);
}

void NotifyShown(TForm1& form) {
  try {
    form.FormShow();
  } catch (const std::exception& e) {
    HandleApplicationException(e);
  }
  form.RunEnded();
}
