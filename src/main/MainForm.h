#pragma once
// The status window and the mail job driver: reading the switches into the
// SMTP client, running the one job, the outcome handlers, the help and the
// exit codes.

#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cmdline/CmdLineParser.h"
#include "core/Component.h"
#include "main/FormSurface.h"
#include "main/OAuthRun.h"
#include "main/RecipientTally.h"
#include "main/RunLog.h"
#include "main/SwitchValues.h"
#include "smtp/Qxsmtp.h"

/// The process exit codes; the last one assigned is the process's exit status.
enum TExitCode : int {
  kExitDone = 0,               // help shown, or the job ended normally
  kExitConnectionFailed = 1,   // the TCP connection could not be made
  kExitRefusedAfterData = 2,   // the server refused the message after its data
  kExitHostNotFound = 3,       // the server's name could not be resolved
  kExitFailure = 4,            // any other failure
  kExitUnusableSettings = 5,   // an EMailException: the settings make the job impossible
};

/// The message text of e (the whole text for the program's own exceptions).
std::string MessageOf(const std::exception& e);

/// The help of /H: the original list of switches as it always read, then the
/// later switches, the exit codes and where the guide is.
std::string SwitchHelp();

/// The application's exception hook as a component: while it lives, every
/// exception handed to the application's central handler goes to
/// OnException. Owned by the status window.
class TApplicationEvents : public TComponent {
 public:
  using TExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;

  /// Installs itself as the application's exception handler.
  explicit TApplicationEvents(TComponent* owner);
  /// Restores the default handler.
  ~TApplicationEvents() override;

  TExceptionEvent OnException;
};

/// The status window: owns the command-line parser, the SMTP client and the
/// exception hook, runs the mail job once when shown and reports its outcome
/// through a TFormSurface that the creator owns. No box, status text or log
/// line it makes holds one of the client's Secrets.
class TForm1 : public TComponent {
 public:
  /// Builds the members with their stored settings and binds the handlers.
  /// Raises what the SMTP client's construction raises.
  explicit TForm1(TFormSurface& surface);

  /// The on-show handler: runs the job, then sets exit code 0 and closes.
  /// Raises whatever the job raises (then neither of the last two happens).
  void FormShow();
  /// One mail job: PrepareJob, then Connect, SendMail and Disconnect, with
  /// /OAUTH after the access token (kept in its token file first); or for
  /// /OAUTHSETUP the sign-in alone, its success shown as the outcome. With
  /// /RETRY a failure that may pass (IsTransientFailure) runs the token,
  /// Connect, SendMail and Disconnect again on a fresh connection after a
  /// wait, announced as a status text and in the run log; the boxes of an
  /// attempt that is tried again are not shown. Raises EMailException and
  /// oauth::ESettingsError for unusable settings, and whatever the SMTP
  /// client and the OAuth steps raise in the last attempt; fires the
  /// client's events into the handlers.
  void RunJob();
  /// Parses the command line; shows the help and returns false when asked
  /// for or when there is no switch, the version likewise when asked for;
  /// otherwise opens the run log (/LOG), fills the SMTP client, its message
  /// (with the date and identifier every message carries) and the two flags
  /// and returns true (for /OAUTHSETUP it reads only the run's switches and
  /// the sign-in's). Raises EMailException for what ReviewSwitches refuses
  /// (a value cut short, a help word that is no help switch, a switch name
  /// that is not the program's), a missing body, recipient, copy or
  /// envelope recipient file, sender or server, a sender or reply address
  /// that is no mail address, an unusable port, time-out, report level,
  /// encryption, login or OAuth setting, a value with a line break, a file
  /// to attach that is missing, or long options that cannot be read, and the token file's
  /// oauth::ESettingsError; raises the file error of a named file that
  /// exists but cannot be read.
  bool PrepareJob();
  /// The end of the run, after the job and its outcome: writes the exit
  /// code to the run log, and shows a log that could not be written as a
  /// status text when no box carried the warning.
  void RunEnded();
  /// Shows the help text in an information box (whatever NE says, but not
  /// where nobody can see it), sets exit code 0 and closes. After long
  /// options the help lists them.
  void ShowHelp();
  /// Shows the program's name and version on the console, or in an
  /// information box where the process has none; sets exit code 0, closes.
  void ShowVersion();
  void ShowError(const std::string& text);
  void ShowInfo(const std::string& text);

  // Handlers bound to the members' events.
  void QxSMTP1Status(TObject* Sender, const std::string& Status);
  void QxSMTP1SendStart(TObject* Sender);
  void QxSMTP1Success(TObject* Sender);
  void QxSMTP1Failure(TObject* Sender);
  void QxSMTP1ConnectionFailed(TObject* Sender);
  void QxSMTP1InvalidHost(bool& Handled);
  void ApplicationEvents1Exception(TObject* Sender, const std::exception& E);

  TCmdLineParser& CmdP() { return *cmdP_; }
  TQxSMTP& QxSMTP1() { return *qxSMTP1_; }

  /// Show the success box; cleared by NM.
  bool ShowSuccess = true;
  /// Suppress every error box; set by NE.
  bool HideErrors = false;

 private:
  void Close();
  void SetExitCode(int code);
  /// Parses the command line; long options that cannot be read raise
  /// EMailException with the parser's one-line text.
  void ParseCommandLine();
  /// The switches of the run itself: the run log, the time-out for every
  /// wait and the report level. Raises EMailException for an unusable value.
  void ApplyRunSwitches();
  /// Tells note where the run is told of: the log and /V (the reply level).
  void TellRun(const std::string& note);
  /// /RETRY and /NOPARTIAL, by whole name. Raises EMailException for an
  /// unusable /RETRY value or a value given to /NOPARTIAL.
  void ApplyOutcomeSwitches();
  /// One attempt: with /OAUTH the access token, then Connect, SendMail and
  /// Disconnect.
  void RunAttempt();
  /// Between attempts: announces retry (from 1) with reason, closes what is
  /// left of the connection, waits, and reads the password afresh (a token
  /// is the next attempt's to get).
  void PrepareRetry(int retry, const std::string& reason);
  /// Shows and logs the error reports an attempt held back.
  void ReleaseHeldErrors();
  /// text with a line for each recipient whose refusal stands (as BoxList
  /// lists them).
  std::string WithRefusedRecipients(const std::string& text) const;
  /// The lines of a list as a box shows them: as many as the surface's boxes
  /// have room for, then one that says how many more there are and where
  /// they all stand.
  std::vector<std::string> BoxList(std::vector<std::string> lines) const;
  /// True when E is the time-out of a greeting awaited without TLS, where
  /// the port may expect TLS: with /ENCRYPT:STARTTLS, or none on port 465.
  bool GreetingTimedOutInClear(const std::exception& E) const;
  /// Writes a run log line for each recipient whose refusal stands.
  void LogRefusedRecipients();
  /// Writes the error to the run log and shows it unless errors are hidden.
  void ReportError(const std::string& text);
  /// text in the terms the run was started with: after long options each
  /// switch it names as its option (--login for /LOGIN).
  std::string InUsersTerms(std::string_view text) const;
  /// text as shown or written: every secret the client knows as "***".
  std::string Shown(const std::string& text) const;
  /// text of an outcome box, with the run log's warning when it has one.
  std::string WithLogWarning(const std::string& text);
  /// /ENCRYPT, /CAFILE and /INSECURE, by whole name; /ENCRYPT:TLS without a
  /// port in /SMTP sets port 465. Raises EMailException for an unknown
  /// /ENCRYPT value, an unusable CA file, a value given to /INSECURE, or
  /// /CAFILE or /INSECURE without encryption.
  void ApplyEncryptionSwitches(bool serverNamesPort);
  /// /LOGIN with its password (/PWF, else /PW, else the environment
  /// variable MAILSHOT_PASSWORD) or its token file (/OAUTH), and /MECH, by
  /// whole name. Raises EMailException for /PW, /PWF, /MECH or /OAUTH
  /// without /LOGIN, /LOGIN without /ENCRYPT, no password, an unreadable or
  /// empty password file, an unknown /MECH value, a value with a line
  /// break, credentials too long, and what TOAuthRun::ReadTokenSwitch raises.
  void ApplyLoginSwitches();
  /// Gives the SMTP client the password of /LOGIN (from /PWF, else /PW,
  /// else MAILSHOT_PASSWORD), read afresh: the client wipes it after each
  /// login. Raises EMailException as ApplyLoginSwitches does.
  void LoadPassword();
  /// Raises EMailException when switch name, given by its whole name, has a value.
  void RefuseValue(const char* name) const;
  /// The value of switch name; raises EMailException when it has none.
  std::string ValueOf(const char* name) const;
  /// Loads the body from the file that B names, or from standard input for
  /// "--body -". Raises as LoadNamedList, and EMailException when standard
  /// input cannot be read (closed, or a read fails).
  void LoadBody(TStringList& body);
  void LoadAttachmentList(TStringList& attachments);
  void RefuseMissingAttachments();

  TFormSurface& surface_;
  TCmdLineParser* cmdP_;
  TQxSMTP* qxSMTP1_;
  TApplicationEvents* applicationEvents1_;
  TRunLog runLog_;
  TOAuthRun oauth_;
  bool signInOnly_ = false;  // /OAUTHSETUP: no mail
  bool tokenLogin_ = false;  // /OAUTH: the password is a token from its file
  int exitCode_ = kExitDone;  // the last one assigned
  bool logWarningShown_ = false;
  TRetrySettings retry_;
  /// While an attempt may still be followed by another, its error reports
  /// wait here: only the last attempt's are shown.
  bool holdErrors_ = false;
  std::vector<std::string> heldErrors_;
  /// The latest attempt delivered, but recipients who put it off wait for the next.
  bool retryRefused_ = false;
  TRecipientTally tally_;
};

/// Delivers the on-show notification as the application does: an exception
/// that escapes FormShow goes to the application's exception handler.
/// Never raises.
void NotifyShown(TForm1& form);
