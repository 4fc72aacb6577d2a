#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "JobHarness.h"
#include "cmdline/LongOptions.h"
#include "encoding/LineEncoding.h"
#include "main/SwitchReview.h"
#include "main/Version.h"
#include "platform/Messages.h"
#include "support/ScriptedServer.h"
#include "test_support/TempDir.h"

namespace {

using testserver::ScriptedServer;
using testserver::SmtpDialogue;
using Exchanges = std::vector<std::pair<std::string, std::string>>;

const std::vector<std::string> kHelpLines = {
    "Command line switches:",
    "=========================================",
    "/B:FileName.ext - file name,what contain message body",
    "/T:FileName.ext - file name,what contain recipients address list",
    "/F:MailAddr - sender (your) address",
    "/S:Subject  - message subject (optional)",
    "/SMTP:Server - mail SMTP server",
    "/U:User ID - SMTP server user name if need",
    "/H,/? - this short help",
    "/NM - don`t show \"Sended success\" message",
    "/NE - don`t show error messages",
    "/RR - send answer reply to recipient",
    "/ES - extended command line switches processing. All switches should be started at \"/\"!",
    "/A:FileName.ext - file name, what contain attachment file names (one file - one file)",
    "",
    "Message charsets:",
    "=========================================",
    "/CS:CharSet - charset for message. Windows-1251 as default",
    "/SD - Subject in OEM (DOS) charset",
    "/SK - Subject in KOI-8 charset",
    "As default subject sended in ANSI charset",
    "",
    "Message format:",
    "=========================================",
    "/FP - simple text (as default)",
    "/FE - Enriched text",
    "/FS - SGML",
    "/FTS - Tab separated text",
    "/FH - HTML",
};

std::string HelpText() {
  std::string text;
  for (const std::string& line : kHelpLines) text += (text.empty() ? "" : "\r") + line;
  return text;
}

TEST(Help, TheOriginalListFirstThenTheFurtherSwitches) {
  const RecordingSurface run = RunJob({"/H"});
  ASSERT_EQ(run.boxes.size(), 1u);
  EXPECT_EQ(run.boxes[0], Info(SwitchHelp()));
  const std::string& text = run.boxes[0].text;
  EXPECT_EQ(text.substr(0, HelpText().size() + 2), HelpText() + "\r\r");
  EXPECT_EQ(text.find('\n'), std::string::npos);
  // Every switch the job takes by its whole name is named there.
  for (const std::string_view name : NamedSwitches()) {
    std::string written = "/";  // piece by piece: MinGW's GCC 12 warns falsely (-Wrestrict) of operator+
    written += name;
    bool named = false;  // not as the beginning of a longer one (/LOG of /LOGIN)
    for (std::size_t at = text.find(written, HelpText().size()); at != std::string::npos && !named;
         at = text.find(written, at + 1)) {
      named = std::string_view(":[ \r").find(text[at + written.size()]) != std::string_view::npos;
    }
    EXPECT_TRUE(named) << name;
  }
  EXPECT_NE(text.find("\rExit codes: 0"), std::string::npos);
}

TEST(Help, VersionAndTheHelpOfLongOptions) {
  const std::string version = "mailshot " + std::string(kProgramVersion);
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<Box> boxes;
    std::vector<std::string> notices;
  } cases[] = {
      {"version as a switch", {"/VERSION"}, {}, {version}},
      {"version as an option, with others", {"--from", "s@x", "--version"}, {}, {version}},
      {"VERSION by its whole name only", {"/VERSIONING"}, {Error("Missing sender address.")}, {}},
      {"help before the version", {"/VERSION", "/H"}, {Info(SwitchHelp())}, {}},
      {"help of the options after --help", {"--help"}, {Info(LongOptionHelp())}, {}},
      {"help of the options for -- alone", {"--"}, {Info(LongOptionHelp())}, {}},
      {"help of the options where they are the custom, for no arguments", {}, {Info(LongOptionHelp())}, {}},
  };
  for (const auto& c : cases) {
    const RecordingSurface run = RunJob(c.arguments);
    EXPECT_EQ(run.boxes, c.boxes) << c.name;
    EXPECT_EQ(run.notices, c.notices) << c.name;
    EXPECT_EQ(run.exitCodes.back(), c.boxes.empty() || c.boxes[0].kind == TBoxKind::Information ? 0 : 5) << c.name;
  }
}

TEST(Help, ShownAloneWhateverElseIsGiven) {
  const struct {
    const char* name;
    std::vector<std::string> arguments;
  } cases[] = {
      {"only switch characters", {"/", "-", "//-"}},
      {"H", {"/H"}},
      {"question mark", {"/?"}},
      {"lower-case h with a hyphen", {"-h"}},
      {"H with valid switches", {"/F:s@x", "/SMTP:127.0.0.1", "/H"}},
      {"H with NE", {"/NE", "/H"}},
      {"HELP in any case", {"/F:s@x", "/help"}},
  };
  for (const auto& c : cases) {
    const RecordingSurface run = RunJob(c.arguments);
    EXPECT_THAT(run.boxes, testing::ElementsAre(Info(SwitchHelp()))) << c.name;
    EXPECT_THAT(run.exitCodes, testing::ElementsAre(0, 0)) << c.name;
    EXPECT_GE(run.closeRequests, 1) << c.name;
  }
}

/// The job's input files in a fresh directory that is the current one for
/// the test's life: a switch value cannot hold a "/" (it starts the next
/// switch), so the files are named relative to it.
class JobFiles {
 public:
  JobFiles() : previous_(std::filesystem::current_path()) {
    dir_.Write("body.txt", "Hello\r\n.end\r\n");
    dir_.Write("rcpt.txt", "a@x\r\n");
    dir_.Write("a.bin", "abc");
    dir_.Write("list.txt", "a.bin\r\n");
    dir_.Write(password, "s3cret-pa/ss\r\nnot this line\r\n");
    dir_.Write(emptyFirstLine, "\r\ns3cret\r\n");
    dir_.Write(nulInPassword, std::string("s3c\0ret\n", 8));
    dir_.Write(longPassword, std::string(16385, 'p'));
    // Its endpoints on a port where nothing listens.
    dir_.Write(token, R"({"token_endpoint": "https://127.0.0.1:1/token",
                          "device_authorization_endpoint": "https://127.0.0.1:1/device", "client_id": "c",
                          "access_token": "kept", "expires_at": 4102444800})");
    dir_.Write(markedRecipients, "\xEF\xBB\xBF" "a@x\r\nb@x\r\n");
    dir_.Write(otherRecipient, "b@x\r\n");
    dir_.Write(listWithMissingFile, "a.bin\r\nmissing.txt\r\n");
    dir_.Write(listWithBlanks, " a.bin \t\r\n\r\n  \r\n");
    std::string many;
    for (int i = 0; i < 3000; ++i) many += "recipient." + std::to_string(i) + "@example.com\r\n";
    dir_.Write(manyRecipients, many);
    dir_.Write(utf8Body, "Gr\xC3\xBC\xC3\x9F\xC3\xA9\r\n");
    dir_.Write(cp1251Body, "\xCF\xF0\xE8\xE2\xE5\xF2\r\n");
    dir_.Write(htmlWithMissingImage, "<p>Hi</p><img src=\"https://x.example/logo.png\"><img src=\"missing.png\">");
    std::filesystem::create_directory(dir_.Path("folder"));
    std::filesystem::current_path(dir_.Path(""));
  }
  ~JobFiles() { std::filesystem::current_path(previous_); }

  /// The folder, as the working directory names it.
  std::string Directory() const { return std::filesystem::current_path().string(); }

  const std::string body = "body.txt", recipients = "rcpt.txt", attachmentList = "list.txt",
                    missing = "missing.txt", folder = "folder", password = "pw.txt", emptyFirstLine = "pwempty.txt",
                    nulInPassword = "pwnul.txt", longPassword = "pwlong.txt", markedRecipients = "marked.txt",
                    token = "token.json", htmlWithMissingImage = "report.html", utf8Body = "utf8.txt",
                    cp1251Body = "cp1251.txt", otherRecipient = "b.txt", listWithMissingFile = "badlist.txt",
                    manyRecipients = "many.txt", listWithBlanks = "blanks.txt";

 private:
  TempDir dir_;
  std::filesystem::path previous_;
};

const std::string kLoginRefused = "\rThe server refused the login: check /LOGIN and the password.";
const std::string kLoggedLoginRefused = " | The server refused the login: check /LOGIN and the password.";

const std::string kUsageHint =
    ". Usage: mailshot --from ADDRESS --to FILE --server HOST[:PORT] [OPTION]... (mailshot --help lists the options)";

TEST(Settings, UnusableSettingsEndWithExitCodeFiveAndNoConnection) {
  JobFiles files;
  ScriptedServer server({}, {.deadline = std::chrono::milliseconds(5000)});
  const std::string smtp = "/SMTP:127.0.0.1:" + std::to_string(server.Port());
  const std::string body = "/B:" + files.body, rcpt = "/T:" + files.recipients;
  const std::string lineBreakMessage =
      " contains a line break or a null character, which cannot go into a mail command or header.";
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<Box> boxes;
  } cases[] = {
      {"body file missing", {"/B:" + files.missing, rcpt, "/F:s@x", smtp},
       {Error("Missing message body. (File " + files.missing + " not found).")}},
      {"body is a directory", {"/B:" + files.folder, rcpt, "/F:s@x", smtp},
       {Error("Missing message body. (File folder not found).")}},
      {"B without a value looks for a file named B", {"/B", rcpt, "/F:s@x", smtp},
       {Error("Missing message body. (File B not found).")}},
      {"recipient file missing", {body, "/T:" + files.missing, "/F:s@x", smtp},
       {Error("Missing recipients address list. (File " + files.missing + " not found).")}},
      {"no sender", {body, rcpt, smtp}, {Error("Missing sender address.")}},
      {"sender of blanks", {body, rcpt, "/F:  \t ", smtp}, {Error("Missing sender address.")}},
      {"FH makes F present with no value", {body, rcpt, "/FH", smtp}, {Error("Missing sender address.")}},
      {"no server", {body, rcpt, "/F:s@x"}, {Error("SMTP server not specified.")}},
      {"server of blanks", {body, rcpt, "/F:s@x", "/SMTP: "}, {Error("SMTP server not specified.")}},
      {"sender checked before server", {body, rcpt}, {Error("Missing sender address.")}},
      {"port not a number", {body, rcpt, "/F:s@x", "/SMTP:127.0.0.1:smtp"},
       {Error("SMTP server port \"smtp\" is not a number from 1 to 65535.")}},
      {"port zero", {body, rcpt, "/F:s@x", "/SMTP:127.0.0.1:0"},
       {Error("SMTP server port \"0\" is not a number from 1 to 65535.")}},
      {"line break in the sender", {body, rcpt, "/F:s@x\r\nRCPT TO:<v@x>", smtp},
       {Error("The value of switch /F" + lineBreakMessage)}},
      {"line break in the subject", {body, rcpt, "/F:s@x", "/S:Hi\nBcc: v@x", smtp},
       {Error("The value of switch /S" + lineBreakMessage)}},
      {"line break in the user name", {body, rcpt, "/F:s@x", "/U:me\r\nMAIL FROM:<v@x>", smtp},
       {Error("The value of switch /U" + lineBreakMessage)}},
      {"line break in the charset", {body, rcpt, "/F:s@x", "/CS:UTF8\r\nBcc: v@x", smtp},
       {Error("The value of switch /CS" + lineBreakMessage)}},
      {"line break in the server", {body, rcpt, "/F:s@x", "/SMTP:127.0.0.1\n"},
       {Error("The value of switch /SMTP" + lineBreakMessage)}},
      {"NE hides the box, not the exit code", {"/NE", body, rcpt, smtp}, {}},
      {"no wait", {body, rcpt, "/F:s@x", smtp, "/WAIT:0"},
       {Error("The value of switch /WAIT, \"0\", is not a number of seconds from 1 to 3600.")}},
      {"wait beyond an hour", {body, rcpt, "/F:s@x", smtp, "/WAIT:3601"},
       {Error("The value of switch /WAIT, \"3601\", is not a number of seconds from 1 to 3600.")}},
      {"wait without a value", {body, rcpt, "/F:s@x", smtp, "/WAIT"}, {Error("The switch /WAIT needs a value.")}},
      {"report level beyond 8", {body, rcpt, "/F:s@x", smtp, "/V:9"},
       {Error("The value of switch /V, \"9\", is not a report level from 1 to 8.")}},
      {"unknown encryption", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:SSL"},
       {Error("The value of switch /ENCRYPT must be TLS, STARTTLS or NONE, not \"SSL\".")}},
      {"encryption without a value", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT"},
       {Error("The value of switch /ENCRYPT must be TLS, STARTTLS or NONE, not \"ENCRYPT\".")}},
      {"CA file missing", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/CAFILE:" + files.missing},
       {Error("The CA file cannot be read: " + files.missing)}},
      {"CA file without a certificate", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/CAFILE:" + files.body},
       {Error("The CA file holds no PEM certificate: " + files.body)}},
      {"INSECURE with a value", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/INSECURE:yes"},
       {Error("The switch /INSECURE takes no value.")}},
      {"trust settings without encryption", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:NONE", "/INSECURE"},
       {Error("The switches /CAFILE and /INSECURE apply only with /ENCRYPT:TLS or /ENCRYPT:STARTTLS.")}},
      {"password without LOGIN", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/PWF:" + files.password},
       {Error("The switches /PW, /PWF, /PWCRED, /PWCMD and /MECH apply only with /LOGIN.")}},
      {"LOGIN without a value", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN", "/PW:x"},
       {Error("The switch /LOGIN needs a value.")}},
      {"LOGIN without ENCRYPT", {body, rcpt, "/F:s@x", smtp, "/LOGIN:me", "/PWF:" + files.password},
       {Error("The switch /LOGIN sends a password: add /ENCRYPT:STARTTLS or /ENCRYPT:TLS to send it encrypted, or "
              "/ENCRYPT:NONE to send it in plain text knowingly.")}},
      {"LOGIN without a password", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:NONE", "/LOGIN:me"},
       {Error("The switch /LOGIN needs a password: the first line of a file named with /PWF, the value of /PW, or "
              "the environment variable MAILSHOT_PASSWORD.")}},
      {"password file missing", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/PWF:" + files.missing},
       {Error("The password file " + files.missing + " cannot be read.")}},
      {"password file with an empty first line",
       {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/PWF:" + files.emptyFirstLine},
       {Error("The first line of the password file " + files.emptyFirstLine + " is empty.")}},
      {"null character in the password",
       {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/PWF:" + files.nulInPassword},
       {Error("The password from the file " + files.nulInPassword +
              " contains a line break or a null character, which cannot go into a mail command.")}},
      {"password too long", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/PWF:" + files.longPassword},
       {Error("The user name and the password may have at most 16384 bytes each.")}},
      {"line break in the login name", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me\nRSET", "/PW:x"},
       {Error("The value of switch /LOGIN" + lineBreakMessage)}},
      {"unknown mechanism", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/PW:x", "/MECH:NTLM"},
       {Error("The value of switch /MECH must be PLAIN, LOGIN, XOAUTH2 or OAUTHBEARER, not \"NTLM\".")}},
      {"OAUTH without LOGIN", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/OAUTH:" + files.token},
       {Error("The switch /OAUTH needs /LOGIN with the user name that the token is for.")}},
      {"OAUTH with a password file",
       {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/OAUTH:" + files.token, "/PWF:" + files.password},
       {Error("The switch /OAUTH takes the access token from its token file: leave out /PW, /PWF, /PWCRED and "
              "/PWCMD.")}},
      {"OAUTH with a password mechanism",
       {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/OAUTH:" + files.token, "/MECH:PLAIN"},
       {Error("With /OAUTH the value of switch /MECH must be XOAUTH2 or OAUTHBEARER, not PLAIN.")}},
      {"OAUTH without a file", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/OAUTH"},
       {Error("The switch /OAUTH needs the name of a token file.")}},
      {"OAUTH token file missing", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/OAUTH:" + files.missing},
       {Error("The token file " + files.missing + " cannot be read.")}},
      {"OAUTH token file no JSON", {body, rcpt, "/F:s@x", smtp, "/ENCRYPT:TLS", "/LOGIN:me", "/OAUTH:" + files.body},
       {Error("The token file " + files.body + " is not JSON: it breaks off at byte 1.")}},
      {"OAUTHSETUP with OAUTH", {"/OAUTHSETUP:" + files.token, "/OAUTH:" + files.token},
       {Error("The switches /OAUTHSETUP and /OAUTH do not go together: sign in with the first, then send with the "
              "second.")}},
      {"OAUTHSETUP with INSECURE", {"/OAUTHSETUP:" + files.token, "/INSECURE"},
       {Error("The switch /INSECURE does not apply to a token endpoint, whose certificate is always checked; name "
              "its CA with /CAFILE.")}},
      {"file to attach missing", {body, rcpt, "/F:s@x", smtp, "/ENCLOSE:" + files.missing},
       {Error("The file to attach " + files.missing + " does not exist.")}},
      {"line break in the name of a file to attach", {body, rcpt, "/F:s@x", smtp, "/ENCLOSE:a.bin\r\nBcc: v@x"},
       {Error("The value of switch /ENCLOSE" + lineBreakMessage)}},
      {"unknown long option", {"--from", "s@x", "--server", "127.0.0.1", "--colour"},
       {Error("Unknown option --colour" + kUsageHint)}},
      {"a switch among long options", {"--from", "s@x", smtp}, {Error("The switch " + smtp +
       " cannot follow options: write every setting as an option (--name value) or every one as a switch "
       "(/X:value)" + kUsageHint)}},
      {"a long option among switches", {body, "--to", files.recipients}, {Error(
       "The option --to cannot follow switches: write every setting as a switch (/X:value) or every one as an "
       "option (--name value)" + kUsageHint)}},
      {"long options are named in the errors of their run", {"--from", "s@x", "--server", "h", "--wait", "0"},
       {Error("The value of option --wait, \"0\", is not a number of seconds from 1 to 3600.")}},
      {"a value of a switch in an error of long options", {"--from", "s@x", "--server", "h", "--login", "me"},
       {Error("The option --login sends a password: add --encrypt STARTTLS or --encrypt TLS to send it encrypted, "
              "or --encrypt NONE to send it in plain text knowingly.")}},
      {"missing attachment list", {body, rcpt, "/F:s@x", smtp, "/A:" + files.missing},
       {Error("The attachment list missing.txt does not exist.")}},
      {"an attachment list naming a missing file", {body, rcpt, "/F:s@x", smtp, "/A:" + files.listWithMissingFile},
       {Error("The file missing.txt, named in the attachment list badlist.txt, does not exist.")}},
      {"a body file name cut at \"-\"", {"/B:body-utf8.txt", rcpt, "/F:s@x", smtp},
       {Error("Missing message body. (File body not found). The value of /B was cut at \"-\": write /ES first to "
              "keep it whole.")}},
      {"a server name cut at \"-\" is never looked up", {body, rcpt, "/F:s@x", "/SMTP:smtp-mail.example.com:587"},
       {Error("The SMTP server name smtp is cut short. The value of /SMTP was cut at \"-\": write /ES first to keep "
              "it whole.")}},
      {"To: lines over the header's limit", {body, "/T:" + files.manyRecipients, "/F:s@x", smtp},
       {Error("The message header is too long to send: its To: and CC: lines alone are 84341 bytes (at most "
              "65535). /RCPT sends to a list without naming it in the header.")}},
      {"copy file missing", {body, rcpt, "/F:s@x", smtp, "/CC:" + files.missing},
       {Error("Missing copy recipients address list. (File " + files.missing + " not found).")}},
      {"envelope recipient file missing", {body, "/F:s@x", smtp, "/RCPT:" + files.missing},
       {Error("Missing envelope recipients address list. (File " + files.missing + " not found).")}},
      {"a help word cut out of a value", {body, rcpt, "/F:s@x", "/SMTP:mail-hub.example.com"},
       {Error("The value of /SMTP was cut at \"-\" (write /ES first to keep it whole)")}},
      {"a charset cut at \"-\"", {body, rcpt, "/F:s@x", smtp, "/CS:UTF-8"},
       {Error("The value of /CS was cut at \"-\" (write /ES first to keep it whole)")}},
      {"a charset not known", {body, rcpt, "/F:s@x", smtp, "/CS:UTF7"},
       {Error("The value of switch /CS, \"UTF7\", is no charset name known here (such as UTF-8, windows-1251, KOI8-R "
              "or ISO-8859-1).")}},
      {"an image the HTML body shows missing", {"/B:" + files.htmlWithMissingImage, rcpt, "/F:s@x", smtp, "/FH"},
       {Error("The image missing.png that the HTML body shows cannot be read.")}},
      {"text alternative missing", {body, rcpt, "/F:s@x", smtp, "/FH", "/PLAINTEXT:" + files.missing},
       {Error("Missing text alternative. (File " + files.missing + " not found).")}},
      {"a misspelt switch", {body, rcpt, "/F:s@x", smtp, "/ENCRPYT:TLS"},
       {Error("Unknown switch /ENCRPYT (did you mean /ENCRYPT?)")}},
      {"HELO as a switch", {body, rcpt, "/F:s@x", smtp, "/HELO:pc1"}, {Error("Unknown switch /HELO (did you mean /U:?)")}},
      {"a path cut at \"/\" into a help word", {"/B:/home/me/body.txt", rcpt, "/F:s@x", smtp},
       {Error("The value of /B was cut at \"/\": in /B:/home/me/body.txt every \"/\" starts a switch, so /B gets "
              "\"\" and the rest is read as switches. A switch's value cannot hold \"/\": name a file relative to "
              "the working directory, or give every setting as a long option, whose value can (--body FILE).")}},
      {"a path cut at \"/\" into what NE would take", {"/B:data/newsletter/body.txt", rcpt, "/F:s@x", smtp},
       {Error("The value of /B was cut at \"/\": in /B:data/newsletter/body.txt every \"/\" starts a switch, so /B "
              "gets \"data\" and the rest is read as switches. A switch's value cannot hold \"/\": name a file "
              "relative to the working directory, or give every setting as a long option, whose value can (--body "
              "FILE).")}},
      {"a subject cut at \"-\"", {body, rcpt, "/F:s@x", smtp, "/S:Nightly report 2026-12-10"},
       {Error("The value of /S was cut at \"-\" (write /ES first to keep it whole)")}},
      {"a log file name cut at \"-\"", {body, rcpt, "/F:s@x", smtp, "/LOG:mailshot-job.log"},
       {Error("The value of /LOG was cut at \"-\" (write /ES first to keep it whole)")}},
      {"a sender cut at \"-\"", {body, rcpt, "/F:no-reply@example.com", smtp},
       {Error("The value of switch /F, \"no\", is no mail address. The value of /F was cut at \"-\": write /ES "
              "first to keep it whole.")}},
      {"a sender that is no mail address", {body, rcpt, "/F:reports", smtp},
       {Error("The value of switch /F, \"reports\", is no mail address.")}},
      {"reply address without a value", {body, rcpt, "/F:s@x", smtp, "/REPLYTO"},
       {Error("The value of switch /REPLYTO, \"REPLYTO\", is no mail address.")}},
      {"reply address without a mailbox", {body, rcpt, "/F:s@x", smtp, "/REPLYTO:Help Desk"},
       {Error("The value of switch /REPLYTO, \"Help Desk\", is no mail address.")}},
      {"line break in the reply address", {body, rcpt, "/F:s@x", smtp, "/REPLYTO:r@x\nBcc: v@x"},
       {Error("The value of switch /REPLYTO" + lineBreakMessage)}},
      {"no recipient per transaction", {body, rcpt, "/F:s@x", smtp, "/MAXRCPT:0"},
       {Error("The value of switch /MAXRCPT, \"0\", is not a number of recipients from 1 to 100000.")}},
      {"a delivery notice event twice", {body, rcpt, "/F:s@x", smtp, "/DSN:FAILURE,failure"},
       {Error("The value of switch /DSN, \"FAILURE,failure\", is not NEVER or a list of SUCCESS, FAILURE and DELAY "
              "joined by commas.")}},
      {"NEVER with an event", {body, rcpt, "/F:s@x", smtp, "/DSN:NEVER,DELAY"},
       {Error("The value of switch /DSN, \"NEVER,DELAY\", is not NEVER or a list of SUCCESS, FAILURE and DELAY "
              "joined by commas.")}},
      {"a delivery notice that returns a body", {body, rcpt, "/F:s@x", smtp, "/DSNRET:BODY"},
       {Error("The value of switch /DSNRET, \"BODY\", is not HDRS or FULL.")}},
  };
  for (const auto& c : cases) {
    const RecordingSurface run = RunJob(c.arguments);
    EXPECT_EQ(run.boxes, c.boxes) << c.name;
    EXPECT_THAT(run.exitCodes, testing::ElementsAre(5)) << c.name;
    EXPECT_GE(run.closeRequests, 1) << c.name;
  }
  server.Stop();
  EXPECT_EQ(server.Accepted(), 0);
  EXPECT_FALSE(std::filesystem::exists("mailshot")) << "a log under the name a \"-\" cut short";
}

TEST(Settings, SwitchesFillTheClient) {
  JobFiles files;
  const std::string rcpt = "/T:" + files.recipients;
  const std::vector<std::string> base = {"/F:s@x", "/SMTP:mail.example.com"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), base.begin(), base.end());
    return more;
  };
  const std::vector<std::string> attached = {"a.bin"};
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    Settings expected;
  } cases[] = {
      {"defaults", with({}), {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"every value switch",
       with({"/S:Weekly Report", "/U:relay.example.com", "/CS:UTF8", rcpt, "/A:" + files.attachmentList}),
       {.subject = "Weekly Report", .from = "s@x", .host = "mail.example.com", .user = "relay.example.com",
        .charset = "UTF-8", .recipients = {"a@x"}, .attachments = attached}},
      {"names without regard to case, values keep theirs", {"/f:S@X", "/smtp:Mail.Example.com", "/s:MiXed"},
       {.subject = "MiXed", .from = "S@X", .host = "Mail.Example.com", .charset = "Windows-1251"}},
      {"hyphen starts a switch", {"-F:s@x", "-SMTP:mail.example.com", "-NM"},
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .showSuccess = false}},
      {"several switches in one argument", {"/F:s@x/SMTP:mail.example.com/S:Hi"},
       {.subject = "Hi", .from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"a hyphen that starts a switch cuts no value short", with({"/S:Hi-NM"}),
       {.subject = "Hi", .from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .showSuccess = false}},
      {"ES keeps the hyphen", with({"/ES", "/S:Re-send", "/CS:UTF-8"}),
       {.subject = "Re-send", .from = "s@x", .host = "mail.example.com", .charset = "UTF-8"}},
      {"ES also keeps hyphenated host names", {"/ES", "/F:s@x", "/SMTP:mail-1.example.com"},
       {.from = "s@x", .host = "mail-1.example.com", .charset = "Windows-1251"}},
      {"the first of a repeated switch counts", with({"/S:Hello", "/S:World"}),
       {.subject = "Hello", .from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"SMTP alone leaves the subject empty", with({}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"port extension", {"/F:s@x", "/SMTP:mail.example.com:587"},
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .port = 587}},
      {"value with colons after the first", {"/F:s@x", "/SMTP::127.0.0.1:2525"},
       {.from = "s@x", .host = "127.0.0.1", .charset = "Windows-1251", .port = 2525}},
      {"NM and NE", with({"/NM", "/NE"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .showSuccess = false,
        .hideErrors = true}},
      {"FE", with({"/FE"}), {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251",
                             .subType = mtEnriched}},
      {"FS", with({"/FS"}), {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251",
                             .subType = mtSgml}},
      {"FTS", with({"/FTS"}), {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251",
                               .subType = mtTabSeperated}},
      {"the last format in test order wins", with({"/FH", "/FE"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .subType = mtHtml}},
      {"WAIT times every wait and every send", with({"/WAIT:30"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .timeOut = 30000, .timeSends = true}},
      {"V alone shows the dialogue", with({"/V"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .reportLevel = 1}},
      {"V with a level", with({"/v:1"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .reportLevel = 1}},
      {"longer names are other switches", with({"/WAITING:5", "/VX:3"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"TLS from the first byte goes to port 465", with({"/ENCRYPT:TLS"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .port = 465, .encryption = ecTls}},
      {"TLS keeps the port the server names", {"/F:s@x", "/SMTP:mail.example.com:2465", "/encrypt:tls"},
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .port = 2465, .encryption = ecTls}},
      {"STARTTLS keeps port 25", with({"/ENCRYPT:StartTLS", "/INSECURE"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .encryption = ecStartTls,
        .insecure = true}},
      {"encryption switches by whole name only", with({"/ENCRYPTIONS:TLS", "/INSECURENESS"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"the password file's first line before PW", with({"/LOGIN:me@x", "/PW:other", "/PWF:pw.txt", "/ENCRYPT:TLS"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .port = 465, .encryption = ecTls,
        .loginName = "me@x", .password = "s3cret-pa/ss"}},
      {"ENCLOSE adds files after the list's", with({"/A:" + files.attachmentList, "/ENCLOSE:body.txt",
                                                    "/ENCLOSE:rcpt.txt"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251",
        .attachments = {"a.bin", "body.txt", "rcpt.txt"}}},
      {"a list's names without blanks around them, blank lines skipped", with({"/A:" + files.listWithBlanks}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .attachments = {"a.bin"}}},
      {"long options, values verbatim", {"--from", "s@x", "--server", "mail-1.example.com:587", "--subject",
                                         "Re: a-b/c", "--to", "./rcpt.txt", "--format", "html", "--quiet",
                                         "--verbose=1", "--attach", "./a.bin", "--helo", "me-2"},
       {.subject = "Re: a-b/c", .from = "s@x", .host = "mail-1.example.com", .user = "me-2",
        .charset = "Windows-1251", .port = 587, .subType = mtHtml, .recipients = {"a@x"},
        .attachments = {"./a.bin"}, .showSuccess = false, .reportLevel = 1}},
      {"long options of encryption and login", {"--from", "s@x", "--server", "mail", "--encrypt", "starttls",
                                                "--login", "me@x", "--password-file", "pw.txt", "--mechanism",
                                                "login", "--wait", "9", "--no-errors"},
       {.from = "s@x", .host = "mail", .charset = "Windows-1251", .hideErrors = true, .timeOut = 9000,
        .timeSends = true, .encryption = ecStartTls, .loginName = "me@x", .password = "s3cret-pa/ss",
        .mechanism = amLogin}},
      {"PW, plain text asked for, a mechanism", with({"/login:me@x", "/pw:Pa55", "/ENCRYPT:NONE", "/mech:xoauth2"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .loginName = "me@x", .password = "Pa55",
        .mechanism = amXOAuth2}},
      // The token comes from the file when the job runs, not before.
      {"OAUTH: a token mechanism", with({"/LOGIN:me@x", "/OAUTH:token.json", "/ENCRYPT:TLS"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .port = 465, .encryption = ecTls,
        .loginName = "me@x", .mechanism = amTokenAutomatic}},
      {"OAUTH with the mechanism asked for",
       with({"/LOGIN:me@x", "/OAUTH:token.json", "/ENCRYPT:TLS", "/MECH:oauthbearer"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .port = 465, .encryption = ecTls,
        .loginName = "me@x", .mechanism = amOAuthBearer}},
      {"copies, envelope-only recipients and a reply address",
       with({"/cc:" + files.recipients, "/Rcpt:" + files.recipients, "/REPLYTO:Help Desk <help@x>"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .copies = {"a@x"},
        .envelopeRecipients = {"a@x"}, .replyTo = "Help Desk <help@x>"}},
      {"a byte-order mark is no part of a list", with({"/T:" + files.markedRecipients}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .recipients = {"a@x", "b@x"}}},
      {"longer and shorter names are other switches", with({"/CCX:none", "/RCPTLIST:none", "/REPLYADDR:none", "/C:none"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"a sender with a display name: the mailbox alone for the envelope",
       {"/F:Nightly Reports <r@x>", "/SMTP:mail.example.com"},
       {.from = "r@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"a UTF-8 body without CS is labelled UTF-8", with({"/B:" + files.utf8Body}),
       {.from = "s@x", .host = "mail.example.com", .charset = "UTF-8"}},
      {"any other body keeps Windows-1251", with({"/B:" + files.cp1251Body}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251"}},
      {"SK labels the subject KOI8-R", with({"/SK", "/SD"}),
       {.from = "s@x", .host = "mail.example.com", .charset = "Windows-1251", .subjectCharset = "KOI8-R"}},
  };
  for (const auto& c : cases) {
    const Settings got = Prepare(c.arguments);
    const Settings& want = c.expected;
    EXPECT_EQ(got.subject, want.subject) << c.name;
    EXPECT_EQ(got.from, want.from) << c.name;
    EXPECT_EQ(got.host, want.host) << c.name;
    EXPECT_EQ(got.port, want.port) << c.name;
    EXPECT_EQ(got.user, want.user) << c.name;
    EXPECT_EQ(got.charset, want.charset) << c.name;
    EXPECT_EQ(got.subType, want.subType) << c.name;
    EXPECT_EQ(got.recipients, want.recipients) << c.name;
    EXPECT_EQ(got.attachments, want.attachments) << c.name;
    EXPECT_EQ(got.showSuccess, want.showSuccess) << c.name;
    EXPECT_EQ(got.hideErrors, want.hideErrors) << c.name;
    EXPECT_EQ(got.timeOut, want.timeOut) << c.name;
    EXPECT_EQ(got.reportLevel, want.reportLevel) << c.name;
    EXPECT_EQ(got.timeSends, want.timeSends) << c.name;
    EXPECT_EQ(got.encryption, want.encryption) << c.name;
    EXPECT_EQ(got.insecure, want.insecure) << c.name;
    EXPECT_EQ(got.loginName, want.loginName) << c.name;
    EXPECT_EQ(got.password, want.password) << c.name;
    EXPECT_EQ(got.mechanism, want.mechanism) << c.name;
    EXPECT_EQ(got.copies, want.copies) << c.name;
    EXPECT_EQ(got.envelopeRecipients, want.envelopeRecipients) << c.name;
    EXPECT_EQ(got.replyTo, want.replyTo) << c.name;
    EXPECT_EQ(got.subjectCharset, want.subjectCharset) << c.name;
  }
}

// The whole dialogue of a job that sends the standard test message, the
// values of its date and identifier masked (MaskedStamps).
const std::string kHeader =
    "From: <s@x>\r\nTo: a@x\r\nSubject: Report\r\nDate: *\r\nMessage-ID: *\r\nMIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=Windows-1251\r\n";
const std::string kBody = "\r\n\r\nHello\r\n..end\r\n";
const std::string kUpToData = "HELO me\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<a@x>\r\nDATA\r\n";
const Exchanges kAcceptAll = {{"HELO me", "250 ok"},         {"RSET", "250 ok"},
                              {"MAIL FROM:<s@x>", "250 ok"}, {"RCPT TO:<a@x>", "250 ok"},
                              {"DATA", "354 go ahead"},      {".", "250 queued"}};

/// received with the values of its Date and Message-ID lines replaced by
/// "*" where they have their form: an RFC 5322 date-time, and 32 hexadecimal
/// digits at the sender's domain. The identifiers are added to ids.
std::string MaskedStamps(const std::string& received, std::vector<std::string>& ids) {
  static const std::regex kDate(
      "\r\nDate: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [1-9][0-9]? (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "20[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}\r\n");
  static const std::regex kMessageId("\r\nMessage-ID: (<[0-9a-f]{32}@x>)\r\n");
  std::smatch id;
  if (std::regex_search(received, id, kMessageId)) ids.push_back(id[1]);
  return std::regex_replace(std::regex_replace(received, kDate, "\r\nDate: *\r\n"), kMessageId,
                            "\r\nMessage-ID: *\r\n");
}

Exchanges With(Exchanges exchanges, std::vector<std::pair<std::string, std::string>> more) {
  exchanges.insert(exchanges.end(), more.begin(), more.end());
  return exchanges;
}

// The password of the file pw.txt, and the AUTH PLAIN line of me@x with it,
// worked out apart from the program.
const std::string kPassword = "s3cret-pa/ss";
const std::string kAuthPlain = "AUTH PLAIN AG1lQHgAczNjcmV0LXBhL3Nz";
// The same for the password pa55word.
const std::string kEchoedPlain = "AUTH PLAIN AG1lQHgAcGE1NXdvcmQ=";
// The XOAUTH2 argument for /LOGIN:me@x and the token t0ken.
const std::string kXOAuth2Token = "dXNlcj1tZUB4AWF1dGg9QmVhcmVyIHQwa2VuAQE=";
// base64 of a JSON text laid out on indented lines, as a server may send why it refused a token.
std::string Repeated(const std::string& text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) repeated += text;
  return repeated;
}
// base64 of a JSON text longer than a log line shows, in 2-byte letters.
const std::string kLongReason =
    line_encoding::Base64("{\"status\":\"401\",\"x\":\"" + Repeated("\xC3\xA9", 300) + "\"}");
const std::string kLaidOutReason =
    "ewogICJzdGF0dXMiOiAiNDAxIiwKICAic2NoZW1lcyI6ICJCZWFyZXIiLAogICJzY29wZSI6ICJodHRwczovL21haWwuZ29vZ2xlLmNvbS8iCn0K";

/// No text holds a password of these tests or an encoded form of it.
void ExpectNoSecret(const std::vector<std::string>& texts, const std::string& name) {
  const std::string secrets[] = {kPassword, "czNjcmV0LXBhL3Nz", kAuthPlain.substr(11), "pa55word", "cGE1NXdvcmQ=",
                                 kEchoedPlain.substr(11), "t0ken", kXOAuth2Token};
  for (const std::string& secret : secrets) {
    for (const std::string& text : texts) EXPECT_EQ(text.find(secret), std::string::npos) << name << ": " << text;
  }
}

TEST(Job, OutcomesAgainstAScriptedServer) {
  JobFiles files;
  const struct {
    const char* name;
    std::vector<std::string> extra;  // besides /B /T /F /S /U and the server
    std::string greeting;
    Exchanges exchanges;
    std::vector<Box> boxes;
    std::vector<int> exitCodes;
    std::string received;
  } cases[] = {
      {"success", {}, "220 ready", With(kAcceptAll, {{"QUIT", "221 bye"}}),
       {Info("Message sended success.")}, {0, 0},
       kUpToData + kHeader + kBody + ".\r\nQUIT\r\n"},
      {"success without the box", {"/NM"}, "220 ready", With(kAcceptAll, {{"QUIT", "221 bye"}}), {}, {0, 0},
       kUpToData + kHeader + kBody + ".\r\nQUIT\r\n"},
      {"read receipt is the last header line", {"/RR"}, "220 ready", With(kAcceptAll, {{"QUIT", "221 bye"}}),
       {Info("Message sended success.")}, {0, 0},
       kUpToData + kHeader + "Disposition-Notification-To:<s@x>\r\n" + kBody + ".\r\nQUIT\r\n"},
      {"refused after the data: no closing command", {}, "220 ready",
       With({kAcceptAll.begin(), kAcceptAll.end() - 1}, {{".", "552 too big"}}),
       {Error("Can`t send message."), Error("552 too big\r\n")}, {2, 4}, kUpToData + kHeader + kBody + ".\r\n"},
      {"refused after the data, errors hidden", {"/NE"}, "220 ready",
       With({kAcceptAll.begin(), kAcceptAll.end() - 1}, {{".", "552 too big"}}), {}, {2, 4},
       kUpToData + kHeader + kBody + ".\r\n"},
      {"closing command refused after success", {}, "220 ready", With(kAcceptAll, {{"QUIT", "500 no"}}),
       {Info("Message sended success."), Error("500 no\r\n")}, {0, 4},
       kUpToData + kHeader + kBody + ".\r\nQUIT\r\n"},
      {"a refused recipient is shown without the success text", {"/NM", "/RCPT:b.txt"}, "220 ready",
       With(With({kAcceptAll.begin(), kAcceptAll.end() - 2}, {{"RCPT TO:<b@x>", "550 no such user"}}),
            {kAcceptAll[4], kAcceptAll[5], {"QUIT", "221 bye"}}),
       {Error("Not accepted: b@x: 550 no such user")}, {0, 0},
       kUpToData.substr(0, kUpToData.size() - 6) + "RCPT TO:<b@x>\r\nDATA\r\n" + kHeader + kBody + ".\r\nQUIT\r\n"},
      {"the second transaction refused: who got the message and who did not", {"/MAXRCPT:1", "/RCPT:b.txt"},
       "220 ready",
       With(kAcceptAll, {{"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"}, {"RCPT TO:<b@x>", "250 ok"},
                         {"DATA", "354 go"}, {".", "554 rejected"}}),
       {Error("Can`t send message."), Error("554 rejected\r\rDelivered to 1 of 2 recipients.\rNot delivered: b@x")},
       {2, 4},
       kUpToData + kHeader + kBody + ".\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<b@x>\r\nDATA\r\n" + kHeader +
           kBody + ".\r\n"},
      {"all or nothing, more recipients than a transaction takes: nothing sent", {"/NOPARTIAL", "/MAXRCPT:1",
       "/RCPT:b.txt"}, "220 ready", {{"HELO me", "250 ok"}},
       {Error("The message was sent to no one: it has more recipients than the 1 that one message may go to")}, {4},
       "HELO me\r\n"},
      {"greeting refused", {}, "421 busy", {{"QUIT", "221 bye"}}, {Error("421 busy\r\n")}, {4}, "QUIT\r\n"},
      {"sender refused", {}, "220 ready",
       {{"HELO me", "250 ok"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "553 not yours"}},
       {Error("553 not yours\r\n")}, {4}, "HELO me\r\nRSET\r\nMAIL FROM:<s@x>\r\n"},
      {"logged in after EHLO, in plain text as asked for", {"/LOGIN:me@x", "/PWF:pw.txt", "/ENCRYPT:NONE", "/V"},
       "220 ready",
       With({{"EHLO me", "250-hi\r\n250 AUTH LOGIN PLAIN"}, {kAuthPlain, "235 ok"}},
            With({kAcceptAll.begin() + 1, kAcceptAll.end()}, {{"QUIT", "221 bye"}})),
       {Info("Message sended success.")}, {0, 0},
       "EHLO me\r\n" + kAuthPlain + "\r\n" + kUpToData.substr(9) + kHeader + kBody + ".\r\nQUIT\r\n"},
      {"login refused: nothing of the message sent", {"/LOGIN:me@x", "/PWF:pw.txt", "/ENCRYPT:NONE", "/V"},
       "220 ready",
       {{"EHLO me", "250-hi\r\n250 AUTH PLAIN"}, {kAuthPlain, "535 5.7.8 Error: authentication failed"},
        {"QUIT", "221 bye"}},
       {Error("535 5.7.8 Error: authentication failed" + kLoginRefused)}, {4}, "EHLO me\r\n" + kAuthPlain + "\r\nQUIT\r\n"},
      {"the credentials echoed in the refusal shown as ***", {"/LOGIN:me@x", "/PWF:pw.txt", "/ENCRYPT:NONE", "/V"},
       "220 ready",
       {{"EHLO me", "250-hi\r\n250 AUTH PLAIN"}, {kAuthPlain, "535 5.7.8 rejected " + kAuthPlain.substr(11)},
        {"QUIT", "221 bye"}},
       {Error("535 5.7.8 rejected ***" + kLoginRefused)}, {4}, "EHLO me\r\n" + kAuthPlain + "\r\nQUIT\r\n"},
      {"Microsoft 365 refuses a password: the advice is to sign in", {"/LOGIN:me@x", "/PWF:pw.txt", "/ENCRYPT:NONE"},
       "220 ready",
       {{"EHLO me", "250-hi\r\n250 AUTH PLAIN"},
        {kAuthPlain, "535 5.7.139 Authentication unsuccessful, basic authentication is disabled."},
        {"QUIT", "221 bye"}},
       {Error("535 5.7.139 Authentication unsuccessful, basic authentication is disabled.\rMicrosoft 365 takes no "
              "password here: sign in once with /OAUTHSETUP, then send with /OAUTH (the guide's \"OAuth 2.0: sign in "
              "once\").")},
       {4}, "EHLO me\r\n" + kAuthPlain + "\r\nQUIT\r\n"},
      {"the only recipient refused for relaying: the advice follows its line", {}, "220 ready",
       {{"HELO me", "250 ok"}, {"RSET", "250 ok"}, {"MAIL FROM:<s@x>", "250 ok"},
        {"RCPT TO:<a@x>", "554 5.7.1 <a@x>: Relay access denied"}},
       {Error("The message was sent to no one: the SMTP server accepted none of the recipients\r\rNot accepted: a@x: "
              "554 5.7.1 <a@x>: Relay access denied\rThe "
              "server passes mail on to other domains only for a sender who logs in: add /LOGIN with its password "
              "(and /ENCRYPT), or send through a server of the recipient's domain.")},
       {4}, kUpToData.substr(0, kUpToData.size() - 6)},
  };
  std::vector<std::string> ids;
  for (const auto& c : cases) {
    ScriptedServer server(SmtpDialogue(c.greeting, c.exchanges), {.deadline = std::chrono::milliseconds(10000)});
    std::vector<std::string> arguments = {"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/S:Report",
                                          "/U:me", "/SMTP:127.0.0.1:" + std::to_string(server.Port())};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    const RecordingSurface run = RunJob(arguments);
    server.Join();
    EXPECT_EQ(run.boxes, c.boxes) << c.name;
    EXPECT_EQ(run.exitCodes, c.exitCodes) << c.name;
    EXPECT_GE(run.closeRequests, 1) << c.name;
    EXPECT_EQ(MaskedStamps(server.Received(), ids), c.received) << c.name;
    EXPECT_THAT(server.Failures(), testing::IsEmpty()) << c.name;
    std::vector<std::string> shown = run.statusTexts;
    for (const Box& box : run.boxes) shown.push_back(box.text);
    ExpectNoSecret(shown, c.name);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "every message has an identifier of its own";
}

TEST(Job, WithoutRecipientsTheSendFailsAfterConnecting) {
  ScriptedServer server(SmtpDialogue("220 ready", {{"HELO *", "250 ok"}}), {.deadline = std::chrono::milliseconds(10000)});
  const RecordingSurface run = RunJob({"/F:s@x", "/SMTP:127.0.0.1:" + std::to_string(server.Port())});
  server.Join();
  EXPECT_EQ(run.boxes, (std::vector<Box>{Error("Incomplete Header")}));
  EXPECT_EQ(run.exitCodes, (std::vector<int>{4}));
  EXPECT_TRUE(server.Received().starts_with("HELO ") && server.Received().size() > 7) << server.Received();
}

// A sign-in needs no message switch, and /OAUTH is not taken as present
// through it; a token endpoint that cannot be reached ends it with 4.
TEST(Job, SignInWithoutMessageSwitchesAndItsEndpointDown) {
  JobFiles files;
  const RecordingSurface run = RunJob({"/OAUTHSETUP:" + files.token});
  EXPECT_THAT(run.boxes, testing::ElementsAre(Error("The exchange with the token endpoint https://127.0.0.1:1/device "
                                                    "failed: no connection could be made.")));
  EXPECT_THAT(run.exitCodes, testing::ElementsAre(4));
  EXPECT_THAT(run.prompts, testing::IsEmpty());
}

// The status handler serves the window's messages: a server that hangs up
// right after its reply to HELO may be found gone before Connect returns. The
// job must not end then as if the message had gone.
TEST(Job, AServerThatHangsUpAfterTheGreetingIsNoSuccess) {
  JobFiles files;
  std::vector<testserver::Step> script = SmtpDialogue("220 ready", {{"HELO me", "250 ok"}});
  script.push_back(testserver::Stall());
  ScriptedServer server(script, {.deadline = std::chrono::milliseconds(10000)});
  RecordingSurface surface;
  TForm1 form(surface);
  surface.onStatus = [&](const std::string& status) {
    if (status != "250 ok") return;
    server.Stop();  // the server closes its end once its reply was read
    for (int i = 0; i < 5000 && form.QxSMTP1().Connected; ++i) {
      platform::PumpMessages();  // the close, once it arrived
      platform::SleepMilliseconds(1);
    }
  };
  GiveArguments(form, {"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/U:me", "/V:1",
                       "/SMTP:127.0.0.1:" + std::to_string(server.Port())});
  NotifyShown(form);
  EXPECT_EQ(surface.boxes, (std::vector<Box>{Error("Not Connected")}));
  EXPECT_EQ(surface.exitCodes.back(), kExitFailure);
}

TEST(Job, UnreachableServersGetTheDriversBoxFirst) {
  // A name with an empty label fails in the resolver itself, without a query.
  const std::string unusedPort = std::to_string(testserver::UnusedPort());
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    std::string firstBox;
    std::vector<int> exitCodes;
  } cases[] = {
      {"connection refused", {"/F:s@x", "/SMTP:127.0.0.1:" + unusedPort},
       "Can`t connect to SMTP mail server 127.0.0.1", {1, 4}},
      {"name not found", {"/F:s@x", "/SMTP:no..such"}, "SMTP server no..such not found.", {3, 4}},
  };
  for (const auto& c : cases) {
    const RecordingSurface run = RunJob(c.arguments);
    ASSERT_EQ(run.boxes.size(), 2u) << c.name;
    EXPECT_EQ(run.boxes[0], Error(c.firstBox)) << c.name;
    EXPECT_EQ(run.boxes[1].kind, TBoxKind::Error) << c.name;
    EXPECT_FALSE(run.boxes[1].text.empty()) << c.name;
    EXPECT_EQ(run.exitCodes, c.exitCodes) << c.name;

    std::vector<std::string> hidden = c.arguments;
    hidden.push_back("/NE");
    const RecordingSurface quiet = RunJob(hidden);
    EXPECT_THAT(quiet.boxes, testing::IsEmpty()) << c.name;
    EXPECT_EQ(quiet.exitCodes, c.exitCodes) << c.name;
  }
}

TEST(Job, StatusTextsReachThePanelAndPumpMessages) {
  JobFiles files;
  ScriptedServer server(SmtpDialogue("220 ready", With(kAcceptAll, {{"QUIT", "221 bye"}})),
                        {.deadline = std::chrono::milliseconds(10000)});
  RecordingSurface surface;
  TForm1 form(surface);
  form.QxSMTP1().ReportLevel = 1;
  GiveArguments(form, {"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/S:Report", "/U:me", "/NM",
                       "/SMTP:127.0.0.1:" + std::to_string(server.Port())});
  NotifyShown(form);
  server.Join();
  EXPECT_THAT(surface.statusTexts, testing::Contains("250 queued"));  // without the reply's CR LF
  EXPECT_EQ(surface.pumps, static_cast<int>(surface.statusTexts.size()));
  EXPECT_EQ(surface.exitCodes, (std::vector<int>{0, 0}));
}

/// The lines of a run log without their time stamps and run tags, each
/// checked for its form.
std::vector<std::string> LogEvents(const std::string& path) {
  static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] (.*))");
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> events;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, stamp)) << line;
    events.push_back(match.size() > 1 ? match[1].str() : "");
  }
  return events;
}

TEST(Job, RunLogTellsWhatHappenedInOrder) {
  JobFiles files;
  // The header's size depends on the date (a day of one or two digits).
  const std::string headerData = "message data: (the header) bytes";
  const std::string bodyData = "message data: " + std::to_string(kBody.size() - 4) + " bytes";
  const std::vector<std::string> upToData = {"< 220 ready", "> HELO me", "< 250 ok", "> RSET", "< 250 ok",
                                             "> MAIL FROM:<s@x>", "< 250 ok", "> RCPT TO:<a@x>", "< 250 ok",
                                             "> DATA", "< 354 go ahead", headerData, bodyData, "> ."};
  auto then = [](std::vector<std::string> events, const std::vector<std::string>& more) {
    events.insert(events.end(), more.begin(), more.end());
    return events;
  };
  const struct {
    const char* name;
    std::vector<std::string> extra;  // besides the standard switches and /LOG
    Exchanges exchanges;
    bool stall;                         // the server goes silent after the exchanges
    std::vector<std::string> events;    // after the command line and "connecting to"
  } cases[] = {
      {"success without boxes", {"/NM", "/NE"}, With(kAcceptAll, {{"QUIT", "221 bye"}}), false,
       then(upToData, {"< 250 queued", "success: Message sended success.", "> QUIT", "< 221 bye",
                       "connection closed", "exit code 0"})},
      {"refused after the data", {"/NE"}, With({kAcceptAll.begin(), kAcceptAll.end() - 1}, {{".", "552 too big"}}),
       false, then(upToData, {"< 552 too big", "error: Can`t send message.", "error: 552 too big", "exit code 4"})},
      {"a reply that never comes", {"/NE", "/WAIT:1"}, {{"HELO me", "250 ok"}, {"RSET", ""}}, true,
       {"< 220 ready", "> HELO me", "< 250 ok", "> RSET", "connection closed",
        "error: Socket readln aborted: no reply to RSET within 1 s", "exit code 4"}},
      {"no greeting before STARTTLS: the port may speak TLS at once", {"/NE", "/WAIT:1", "/ENCRYPT:STARTTLS"}, {}, true,
       {"connection closed",
        "error: Socket readln aborted: no greeting within 1 s; the port may expect TLS from the first byte: "
        "/ENCRYPT:TLS",
        "exit code 4"}},
      {"the AUTH exchange with the lines that carry credentials masked", {"/NE", "/LOGIN:me@x", "/PW:pa55word",
                                                                           "/ENCRYPT:NONE"},
       {{"EHLO me", "250-hi\r\n250 AUTH LOGIN"}, {"AUTH LOGIN", "334 VXNlcm5hbWU6"},
        {"bWVAeA==", "334 UGFzc3dvcmQ6"}, {"cGE1NXdvcmQ=", "535 5.7.8 Error: authentication failed"},
        {"QUIT", "221 bye"}},
       false,
       {"< 220 ready", "> EHLO me", "< 250-hi", "< 250 AUTH LOGIN", "> AUTH LOGIN", "< 334 VXNlcm5hbWU6", "> ***",
        "< 334 UGFzc3dvcmQ6", "> ***", "< 535 5.7.8 Error: authentication failed", "> QUIT", "< 221 bye",
        "connection closed", "error: 535 5.7.8 Error: authentication failed" + kLoggedLoginRefused, "exit code 4"}},
      {"the credentials echoed by the server masked", {"/NE", "/LOGIN:me@x", "/PW:pa55word", "/ENCRYPT:NONE"},
       {{"EHLO me", "250-hi\r\n250 AUTH PLAIN"}, {kEchoedPlain, "535 5.7.8 rejected " + kEchoedPlain.substr(11)},
        {"QUIT", "221 bye"}},
       false,
       {"< 220 ready", "> EHLO me", "< 250-hi", "< 250 AUTH PLAIN", "> AUTH PLAIN ***", "< 535 5.7.8 rejected ***",
        "> QUIT", "< 221 bye", "connection closed", "error: 535 5.7.8 rejected ***" + kLoggedLoginRefused, "exit code 4"}},
      {"the reason of a refused token decoded, on one line", {"/NE", "/LOGIN:me@x", "/PW:t0ken", "/MECH:XOAUTH2",
                                                              "/ENCRYPT:NONE"},
       {{"EHLO me", "250-hi\r\n250 AUTH XOAUTH2"}, {"AUTH XOAUTH2 " + kXOAuth2Token, "334 " + kLaidOutReason},
        {"", "535 5.7.8 not accepted"}, {"QUIT", "221 bye"}},
       false,
       {"< 220 ready", "> EHLO me", "< 250-hi", "< 250 AUTH XOAUTH2", "> AUTH XOAUTH2 ***", "< 334 " + kLaidOutReason,
        R"(the server refused the token: { "status": "401", "schemes": "Bearer", "scope": "https://mail.google.com/" })",
        "> ", "< 535 5.7.8 not accepted", "> QUIT", "< 221 bye", "connection closed",
        "error: 535 5.7.8 not accepted" + kLoggedLoginRefused, "exit code 4"}},
      {"a long reason cut before a character", {"/NE", "/LOGIN:me@x", "/PW:t0ken", "/MECH:XOAUTH2", "/ENCRYPT:NONE"},
       {{"EHLO me", "250-hi\r\n250 AUTH XOAUTH2"}, {"AUTH XOAUTH2 " + kXOAuth2Token, "334 " + kLongReason},
        {"", "535 5.7.8 not accepted"}, {"QUIT", "221 bye"}},
       false,
       {"< 220 ready", "> EHLO me", "< 250-hi", "< 250 AUTH XOAUTH2", "> AUTH XOAUTH2 ***", "< 334 " + kLongReason,
        // 400 bytes at most: the 2-byte letters stop at 399.
        "the server refused the token: {\"status\":\"401\",\"x\":\"" + Repeated("\xC3\xA9", 189) + "...", "> ",
        "< 535 5.7.8 not accepted", "> QUIT", "< 221 bye", "connection closed",
        "error: 535 5.7.8 not accepted" + kLoggedLoginRefused, "exit code 4"}},
  };
  for (const auto& c : cases) {
    std::vector<testserver::Step> script = SmtpDialogue("220 ready", c.exchanges);
    if (c.stall) script.back() = testserver::Stall();  // in place of the reply
    ScriptedServer server(script, {.deadline = std::chrono::milliseconds(10000)});
    const std::string port = std::to_string(server.Port());
    std::vector<std::string> arguments = {"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/S:Report",
                                          "/U:me", "/SMTP:127.0.0.1:" + port, "/LOG:run.log"};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    std::filesystem::remove("run.log");
    const RecordingSurface run = RunJob(arguments);
    server.Stop();
    if (!c.stall) {
      EXPECT_THAT(server.Failures(), testing::IsEmpty()) << c.name;
    }
    std::string commandLine = "command line:";
    for (const std::string& argument : arguments) {
      commandLine += " " + (argument.rfind("/PW:", 0) == 0 ? std::string("/PW:***") : argument);
    }
    std::vector<std::string> expected =
        then({"mailshot " + std::string(kProgramVersion), "working directory: " + files.Directory(), commandLine,
              "connecting to 127.0.0.1 port " + port, "connected to 127.0.0.1:" + port},
             c.events);
    const std::string received = server.Received();
    const size_t headerStart = received.find("DATA\r\n") + 6;
    std::replace(expected.begin(), expected.end(), headerData,
                 "message data: " + std::to_string(received.find("Hello\r\n") - headerStart) + " bytes");
    const std::vector<std::string> events = LogEvents("run.log");
    EXPECT_EQ(events, expected) << c.name;
    ExpectNoSecret(events, c.name);
  }
  // A setting found unusable after the log was opened is told there too.
  std::filesystem::remove("run.log");
  RunJob({"/F:s@x", "/SMTP:127.0.0.1", "/LOG:run.log", "/V:0", "/NE"});
  EXPECT_EQ(LogEvents("run.log"),
            (std::vector<std::string>{"mailshot " + std::string(kProgramVersion),
                                      "working directory: " + files.Directory(),
                                      "command line: /F:s@x /SMTP:127.0.0.1 /LOG:run.log /V:0 /NE",
                                      "error: The value of switch /V, \"0\", is not a report level from 1 to 8.",
                                      "exit code 5"}));
}

TEST(Job, UnwritableLogStillSendsAndWarnsWithTheOutcome) {
  JobFiles files;
  const std::string warning = "Warning: the run log folder could not be written.";
  const struct {
    const char* name;
    std::vector<std::string> extra;
    Exchanges exchanges;
    std::vector<Box> boxes;
    std::vector<std::string> statusTexts;
    std::vector<int> exitCodes;
  } cases[] = {
      {"with the success box", {}, With(kAcceptAll, {{"QUIT", "221 bye"}}),
       {Info("Message sended success.\r\r" + warning)}, {}, {0, 0}},
      {"without boxes: as a status text", {"/NM", "/NE"}, With(kAcceptAll, {{"QUIT", "221 bye"}}), {}, {warning},
       {0, 0}},
      {"with the last error box", {}, With({kAcceptAll.begin(), kAcceptAll.end() - 1}, {{".", "552 too big"}}),
       {Error("Can`t send message."), Error("552 too big\r\n\r\r" + warning)}, {}, {2, 4}},
  };
  for (const auto& c : cases) {
    ScriptedServer server(SmtpDialogue("220 ready", c.exchanges), {.deadline = std::chrono::milliseconds(10000)});
    std::vector<std::string> arguments = {"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/S:Report",
                                          "/U:me", "/SMTP:127.0.0.1:" + std::to_string(server.Port()),
                                          "/LOG:" + files.folder};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    const RecordingSurface run = RunJob(arguments);
    server.Join();
    EXPECT_EQ(run.boxes, c.boxes) << c.name;
    EXPECT_EQ(run.statusTexts, c.statusTexts) << c.name;
    EXPECT_EQ(run.exitCodes, c.exitCodes) << c.name;
    EXPECT_EQ(server.Received().substr(0, kUpToData.size()), kUpToData) << c.name;  // sent all the same
  }
}

// A server's text reaches the log as it reaches the console: no control of
// it may drive the terminal that shows the log.
TEST(RunLog, ControlCharactersShowEscaped) {
  const struct {
    std::string event;
    std::string line;
  } cases[] = {
      {"a\r\nb\rc\r\n", "a | b | c"},
      {"a\x01\x7F\tb", "a\\x01\\x7F\tb"},
      {"error_description \xC2\x9B" "31m red", "error_description \\u009b31m red"},
      {"K\xC3\xA4se \xC2\xA0", "K\xC3\xA4se \xC2\xA0"},  // letters and a no-break space stay
  };
  TempDir dir;
  const TSecretList secrets;
  TRunLog log(secrets);
  log.Open(dir.Path("run.log"));
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    log.Write(c.event);
    expected.push_back(c.line);
  }
  EXPECT_EQ(LogEvents(dir.Path("run.log")), expected);
}

TEST(RunLog, CommandLineHidesSecretValues) {
  const std::string_view secrets[] = {"PW"};
  const struct {
    const char* name;
    std::vector<std::string> arguments;  // after the program
    std::string shown;
    std::string switchChars = "/-";
  } cases[] = {
      {"secret value and the rest of its argument", {"/F:s@x", "/PW:abc-def/NM", "/NE"}, "/F:s@x /PW:*** /NE"},
      {"any case, after a hyphen, inside an argument", {"/F:s@x-pw:abc"}, "/F:s@x-pw:***"},
      {"a longer name is another switch", {"/PWF:pw.txt"}, "/PWF:pw.txt"},
      {"no value, nothing to hide", {"/PW"}, "/PW"},
      {"blanks and empty arguments quoted", {"/S:Weekly report", ""}, "\"/S:Weekly report\" \"\""},
      {"no switch character: still taken as PW", {"PW:abc"}, "PW:***"},
      {"a delimiter before the name", {":PW:abc"}, ":PW:***"},
      {"a switch character, then a delimiter", {"/:PW:abc"}, "/:PW:***"},
      {"with /ES a hyphen starts no switch, so nothing is taken as PW", {"/F:s@x-pw:abc", "/ES"},
       "/F:s@x-pw:abc /ES", "/"},
  };
  for (const auto& c : cases) {
    TCmdLineParser parser(nullptr);
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.begin(), "mailshot");
    parser.SetArgumentSource([arguments] { return arguments; });
    parser.SetSwitchChars(c.switchChars);
    parser.Parse();
    EXPECT_EQ(MaskedCommandLine(parser, secrets), c.shown) << c.name;
    // Masked exactly where the job reads a password from the switch.
    const bool taken = parser.ParamExistsExactly("PW") && parser.GetParamValue("PW") != "PW";
    EXPECT_EQ(taken, c.shown.find("***") != std::string::npos) << c.name;
  }
}

TEST(Job, StoredReportLevelLeavesThePanelEmpty) {
  JobFiles files;
  ScriptedServer server(SmtpDialogue("220 ready", With(kAcceptAll, {{"QUIT", "221 bye"}})),
                        {.deadline = std::chrono::milliseconds(10000)});
  const RecordingSurface run =
      RunJob({"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/S:Report", "/U:me",
              "/SMTP:127.0.0.1:" + std::to_string(server.Port())});
  server.Join();
  EXPECT_THAT(run.statusTexts, testing::IsEmpty());
  EXPECT_EQ(run.exitCodes, (std::vector<int>{0, 0}));
}

/// script, then for each of more: a further connection's script.
std::vector<testserver::Step> Connections(std::vector<testserver::Step> script,
                                          const std::vector<std::vector<testserver::Step>>& more) {
  for (const std::vector<testserver::Step>& next : more) {
    script.push_back(testserver::NextConnection());
    script.insert(script.end(), next.begin(), next.end());
  }
  return script;
}

TEST(Job, RetriesWhatMayPass) {
  JobFiles files;
  const Exchanges delivered = With(kAcceptAll, {{"QUIT", "221 bye"}});
  const std::string sentOnce = kUpToData + kHeader + kBody + ".\r\nQUIT\r\n";
  Exchanges onlyB = kAcceptAll;
  onlyB[3] = {"RCPT TO:<b@x>", "250 ok"};
  const std::string sentToB = "HELO me\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<b@x>\r\nDATA\r\n" + kHeader + kBody +
                              ".\r\nQUIT\r\n";
  const struct {
    const char* name;
    std::vector<std::string> extra;  // besides the standard switches
    std::vector<testserver::Step> script;
    int connections;
    std::vector<Box> boxes;
    int exitCode;  // the last one assigned
    std::vector<std::uint32_t> waits;
    std::string received;
  } cases[] = {
      {"a 451 to the end of the message, then delivered", {"/RETRY:1:5"},
       Connections(SmtpDialogue("220 ready", With({kAcceptAll.begin(), kAcceptAll.end() - 1},
                                                  {{".", "451 try again"}, {"QUIT", "221 bye"}})),
                   {SmtpDialogue("220 ready", delivered)}),
       2, {Info("Message sended success.")}, 0, {5000}, kUpToData + kHeader + kBody + ".\r\nQUIT\r\n" + sentOnce},
      {"retries used up: the last attempt's boxes alone", {"/RETRY:2:1"},
       SmtpDialogue("421 busy", {{"QUIT", "221 bye"}}), 3, {Error("421 busy\r\n")}, 4, {1000, 2000},
       "QUIT\r\nQUIT\r\nQUIT\r\n"},
      {"the password read again for the next login", {"/RETRY:1:1", "/LOGIN:me@x", "/PWF:pw.txt", "/ENCRYPT:NONE"},
       Connections(SmtpDialogue("220 ready", {{"EHLO me", "250-hi\r\n250 AUTH PLAIN"},
                                              {kAuthPlain, "454 4.7.0 temporary authentication failure"},
                                              {"QUIT", "221 bye"}}),
                   {SmtpDialogue("220 ready",
                                 With(With({{"EHLO me", "250-hi\r\n250 AUTH PLAIN"}, {kAuthPlain, "235 ok"}},
                                           {kAcceptAll.begin() + 1, kAcceptAll.end()}),
                                      {{"QUIT", "221 bye"}}))}),
       2, {Info("Message sended success.")}, 0, {1000},
       "EHLO me\r\n" + kAuthPlain + "\r\nQUIT\r\nEHLO me\r\n" + kAuthPlain + "\r\n" + kUpToData.substr(9) + kHeader +
           kBody + ".\r\nQUIT\r\n"},
      {"the second transaction put off: the retry goes to its recipient alone",
       {"/RETRY:1:5", "/MAXRCPT:1", "/RCPT:b.txt"},
       Connections(SmtpDialogue("220 ready", With(kAcceptAll, {{"RSET", "250 ok"},
                                                               {"MAIL FROM:<s@x>", "250 ok"},
                                                               {"RCPT TO:<b@x>", "250 ok"},
                                                               {"DATA", "354 go"},
                                                               {".", "451 try again"},
                                                               {"QUIT", "221 bye"}})),
                   {SmtpDialogue("220 ready", With(onlyB, {{"QUIT", "221 bye"}}))}),
       2, {Info("Message sended success.")}, 0, {5000},
       kUpToData + kHeader + kBody + ".\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<b@x>\r\nDATA\r\n" + kHeader +
           kBody + ".\r\nQUIT\r\n" + sentToB},
      {"a recipient greylisted: the retry goes to it alone", {"/RETRY:1:5", "/RCPT:b.txt"},
       Connections(SmtpDialogue("220 ready", With(With({kAcceptAll.begin(), kAcceptAll.end() - 2},
                                                       {{"RCPT TO:<b@x>", "451 4.7.1 greylisted"}}),
                                                  {kAcceptAll[4], kAcceptAll[5], {"QUIT", "221 bye"}})),
                   {SmtpDialogue("220 ready", With(onlyB, {{"QUIT", "221 bye"}}))}),
       2, {Info("Message sended success.")}, 0, {5000},
       kUpToData.substr(0, kUpToData.size() - 6) + "RCPT TO:<b@x>\r\nDATA\r\n" + kHeader + kBody + ".\r\nQUIT\r\n" +
           sentToB},
  };
  for (const auto& c : cases) {
    ScriptedServer server(c.script, {.connections = c.connections, .deadline = std::chrono::milliseconds(10000)});
    std::vector<std::string> arguments = {"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/S:Report",
                                          "/U:me", "/SMTP:127.0.0.1:" + std::to_string(server.Port())};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    const RecordingSurface run = RunJob(arguments);
    server.Stop();
    EXPECT_EQ(run.boxes, c.boxes) << c.name;
    ASSERT_FALSE(run.exitCodes.empty()) << c.name;
    EXPECT_EQ(run.exitCodes.back(), c.exitCode) << c.name;
    EXPECT_EQ(run.waits, c.waits) << c.name;
    std::vector<std::string> ids;
    EXPECT_EQ(MaskedStamps(server.Received(), ids), c.received) << c.name;
    EXPECT_THAT(server.Failures(), testing::IsEmpty()) << c.name;
  }
}

// Sixty lines made a Windows box taller than the screen: a box lists ten,
// then counts the rest, which the log names.
TEST(Job, BoxesListTenRecipientsThenCountTheRest) {
  JobFiles files;
  std::string twelve;
  Exchanges exchanges = {kAcceptAll.begin(), kAcceptAll.end() - 2};
  std::vector<std::string> refusals;
  for (int i = 1; i <= 12; ++i) {
    std::string mailbox = "r";  // piece by piece: MinGW's GCC 12 warns falsely (-Wrestrict) of operator+
    mailbox += std::to_string(i);
    mailbox += "@x";
    twelve += mailbox + "\r\n";
    exchanges.push_back({"RCPT TO:<" + mailbox + ">", "550 5.1.1 no such user"});
    refusals.push_back("Not accepted: " + mailbox + ": 550 5.1.1 no such user");
  }
  std::ofstream("twelve.txt", std::ios::binary) << twelve;
  exchanges = With(exchanges, {kAcceptAll[4], kAcceptAll[5], {"QUIT", "221 bye"}});
  std::string listed;
  for (int i = 0; i < 10; ++i) listed += "\r" + refusals[i];
  const struct {
    const char* name;
    std::vector<std::string> extra;
    std::string more;
  } cases[] = {
      {"without a log", {}, "and 2 more (a run with /LOG:file names them all)"},
      {"with a log, which names them all", {"/LOG:run.log"}, "and 2 more (the log names them all)"},
  };
  for (const auto& c : cases) {
    ScriptedServer server(SmtpDialogue("220 ready", exchanges), {.deadline = std::chrono::milliseconds(10000)});
    std::vector<std::string> arguments = {"/B:" + files.body, "/T:" + files.recipients, "/RCPT:twelve.txt", "/F:s@x",
                                          "/U:me", "/SMTP:127.0.0.1:" + std::to_string(server.Port())};
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    RecordingSurface surface;
    surface.boxListRoom = 10;
    TForm1 form(surface);
    GiveArguments(form, arguments);
    NotifyShown(form);
    server.Join();
    EXPECT_EQ(surface.boxes, (std::vector<Box>{Info("Message sended success.\r" + listed + "\r" + c.more)})) << c.name;
  }
  std::vector<std::string> logged;
  for (const std::string& event : LogEvents("run.log")) {
    if (event.starts_with("not accepted: ")) logged.push_back(event);
  }
  EXPECT_EQ(logged.size(), 12u);
}

// Where nobody can see a box (a service, a task run whether or not a user is
// logged on), nobody can dismiss one: the job must not wait for a click.
TEST(Job, NoBoxWhereNobodyCanSeeIt) {
  JobFiles files;
  const struct {
    const char* name;
    Exchanges exchanges;  // empty: the help is asked for
    std::vector<int> exitCodes;
    std::string logged;
  } cases[] = {
      {"success", With(kAcceptAll, {{"QUIT", "221 bye"}}), {0, 0}, "success: Message sended success."},
      {"refused after the data", With({kAcceptAll.begin(), kAcceptAll.end() - 1}, {{".", "552 too big"}}), {2, 4},
       "error: 552 too big"},
      {"the help", {}, {0, 0}, ""},
  };
  for (const auto& c : cases) {
    ScriptedServer server(SmtpDialogue("220 ready", c.exchanges), {.deadline = std::chrono::milliseconds(10000)});
    std::vector<std::string> arguments = {"/B:" + files.body, "/T:" + files.recipients, "/F:s@x", "/S:Report",
                                          "/U:me", "/SMTP:127.0.0.1:" + std::to_string(server.Port()), "/LOG:run.log"};
    if (c.exchanges.empty()) arguments.push_back("/H");
    std::filesystem::remove("run.log");
    RecordingSurface surface;
    surface.attended = false;
    TForm1 form(surface);
    GiveArguments(form, arguments);
    NotifyShown(form);
    server.Stop();
    EXPECT_THAT(surface.boxes, testing::IsEmpty()) << c.name;
    EXPECT_EQ(surface.exitCodes, c.exitCodes) << c.name;
    if (!c.logged.empty()) {
      EXPECT_THAT(LogEvents("run.log"), testing::Contains(c.logged)) << c.name;
    }
  }
}

}  // namespace
