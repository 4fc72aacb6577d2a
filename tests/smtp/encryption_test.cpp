// The SMTP dialogue inside TLS against the scripted server's TLS side: TLS
// from the first byte and after STARTTLS, the AUTH exchanges and SIZE,
// byte-exact; each failure ends the dialogue with its text and nothing more
// goes out; no text the client lets out holds the password. The Windows
// build runs the same cases through Schannel against the native server.

#include <optional>
#include <regex>

#include "encoding/LineEncoding.h"
#include "smtp/DialogueFixture.h"
#include "support/TlsScriptedServer.h"

namespace {

using namespace smtptest;
using namespace testserver;

/// script, then the exchanges (the line expected, the server's reply with
/// CR LF added), then the steps of tail.
std::vector<Step> Then(std::vector<Step> script, const Exchanges& exchanges, const std::vector<Step>& tail = {}) {
  for (const auto& [expected, reply] : exchanges) {
    script.push_back(expected == "." ? ReadUntil(".") : ExpectLine(expected));
    script.push_back(Send(reply + "\r\n"));
  }
  script.insert(script.end(), tail.begin(), tail.end());
  return script;
}

const std::string kMessage =
    Block({"From: <s@x>", "To: r@x", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}) + ".\r\n";
const std::string kInsideTls = "EHLO x\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<r@x>\r\nDATA\r\n" + kMessage + "QUIT\r\n";
/// SIZE counts the data up to the line "." that ends it.
const std::string kSizedMailFrom = "MAIL FROM:<s@x> SIZE=" + std::to_string(kMessage.size() - 3);

const std::string kUser = "user@example.com";
const std::string kPassword = "s3cret-pa/ss";
// The credentials' encoded forms, worked out apart from the program.
const std::string kPlainResponse = "AHVzZXJAZXhhbXBsZS5jb20AczNjcmV0LXBhL3Nz";
const std::string kUserResponse = "dXNlckBleGFtcGxlLmNvbQ==";
const std::string kPasswordResponse = "czNjcmV0LXBhL3Nz";
const std::string kXOAuth2Response = "dXNlcj11c2VyQGV4YW1wbGUuY29tAWF1dGg9QmVhcmVyIHMzY3JldC1wYS9zcwEB";
const Exchanges kLoginExchange = {
    {"AUTH LOGIN", "334 VXNlcm5hbWU6"}, {kUserResponse, "334 UGFzc3dvcmQ6"}, {kPasswordResponse, "235 2.7.0 ok"}};

/// The accepted dialogue of one message with EHLO answered by ehloReply,
/// then the AUTH exchanges; MAIL FROM names the size where SIZE is announced.
Exchanges AcceptingEhlo(const std::string& ehloReply, const Exchanges& auth = {}) {
  Exchanges exchanges = Accepting();
  exchanges.front() = {"EHLO x", ehloReply};
  if (ehloReply.find("SIZE") != std::string::npos) exchanges[2].first = kSizedMailFrom;
  exchanges.insert(exchanges.begin() + 1, auth.begin(), auth.end());
  return exchanges;
}

/// What the client sends in exchanges: each line with CR LF, the message in place of ".".
std::string Sent(const Exchanges& exchanges) {
  std::string sent;
  for (const auto& [line, reply] : exchanges) sent += line == "." ? kMessage : line + "\r\n";
  return sent;
}

/// Records every text the client lets out besides the wire: trace lines,
/// status texts of every level, error texts.
struct Outlets {
  explicit Outlets(TQxSMTP& s) {
    s.ReportLevel = 8;
    s.OnStatus = [this](TObject*, const std::string& status) { texts.push_back(status); };
    s.OnTrace = [this](TObject*, const TTraceEvent& event) { texts.emplace_back(event.Text); };
  }
  /// None holds the password or an encoded form of it.
  void ExpectNoSecret() const {
    for (const std::string& secret : {kPassword, kPlainResponse, kPasswordResponse, kXOAuth2Response}) {
      for (const std::string& text : texts) EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
  }
  std::vector<std::string> texts;
};

/// Gives s the credentials when login is set.
void LogIn(TQxSMTP& s, bool login, TAuthMechanism mechanism) {
  if (!login) return;
  s.LoginName = kUser;
  s.Password = kPassword;
  s.AuthMechanism = mechanism;
}

/// A client for a TLS server on port that trusts the test CA.
void Aim(TQxSMTP& s, std::uint16_t port, TEncryption encryption) {
  s.Host = "localhost";
  s.Port = port;
  s.TimeOut = 5000;  // a wait that never ends fails the test instead of hanging it
  s.UserID = "x";
  s.Encryption = encryption;
  s.CaFile = TestCaFile();
  s.PostMessage().FromAddress = "s@x";
  s.PostMessage().ToAddress().Add("r@x");
}

TEST(Encryption, TranscriptsInsideTls) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    Certificate certificate;
    TEncryption encryption;
    bool insecure;
    std::string received;
    std::vector<std::string> mechanisms;  // of the last EHLO reply
    std::uint64_t sizeLimit;
    bool login = false;
    TAuthMechanism mechanism = amAutomatic;
    std::string sendError = {};  // empty: the message is sent
  };
  const Exchanges startTls = {{"EHLO x", "250-hello\r\n250 STARTTLS"}, {"STARTTLS", "220 go ahead"}};
  auto implicit = [](const Exchanges& exchanges) { return Then({StartTls(), Send("220 tls ready\r\n")}, exchanges); };
  const Case cases[] = {
      {"TLS from the first byte",
       implicit(AcceptingEhlo("250-hello\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE " + std::to_string(kMessage.size() - 3))),
       Certificate::kTrusted, ecTls, false, Sent(AcceptingEhlo("250 SIZE")), {"PLAIN", "LOGIN"}, kMessage.size() - 3},
      {"STARTTLS: the capabilities read in clear are forgotten",
       Then(Then({Send("220 ready\r\n")},
                 {{"EHLO x", "250-hello\r\n250-STARTTLS\r\n250 AUTH LOGIN"}, {"STARTTLS", "220 go ahead"}},
                 {StartTls()}),
            AcceptingEhlo("250-hello again\r\n250-AUTH XOAUTH2\r\n250 SIZE")),
       Certificate::kTrusted, ecStartTls, false, "EHLO x\r\nSTARTTLS\r\n" + Sent(AcceptingEhlo("250 SIZE")),
       {"XOAUTH2"}, 0},
      {"insecure takes a self-signed certificate",
       Then({StartTls(), Send("220 tls ready\r\n")}, AcceptingEhlo("250 hello")), Certificate::kSelfSigned, ecTls,
       true, kInsideTls, {}, 0},
      {"PLAIN preferred to the others",
       implicit(AcceptingEhlo("250-hello\r\n250-AUTH LOGIN XOAUTH2 PLAIN\r\n250 SIZE 10000",
                              {{"AUTH PLAIN " + kPlainResponse, "235 2.7.0 Authentication successful"}})),
       Certificate::kTrusted, ecTls, false,
       Sent(AcceptingEhlo("250 SIZE", {{"AUTH PLAIN " + kPlainResponse, ""}})), {"LOGIN", "XOAUTH2", "PLAIN"}, 10000,
       true},
      {"LOGIN where PLAIN is not offered, AUTH offered only inside TLS",
       Then(Then({Send("220 ready\r\n")}, startTls, {StartTls()}),
            AcceptingEhlo("250-hi\r\n250 AUTH LOGIN", kLoginExchange)),
       Certificate::kTrusted, ecStartTls, false,
       "EHLO x\r\nSTARTTLS\r\n" + Sent(AcceptingEhlo("250", kLoginExchange)), {"LOGIN"}, 0, true},
      {"LOGIN asked for though PLAIN is offered",
       implicit(AcceptingEhlo("250-hello\r\n250 AUTH PLAIN LOGIN", kLoginExchange)), Certificate::kTrusted, ecTls,
       false, Sent(AcceptingEhlo("250", kLoginExchange)), {"PLAIN", "LOGIN"}, 0, true, amLogin},
      {"XOAUTH2 asked for",
       implicit(AcceptingEhlo("250-hello\r\n250 AUTH PLAIN XOAUTH2", {{"AUTH XOAUTH2 " + kXOAuth2Response, "235 ok"}})),
       Certificate::kTrusted, ecTls, false, Sent(AcceptingEhlo("250", {{"AUTH XOAUTH2 " + kXOAuth2Response, ""}})),
       {"PLAIN", "XOAUTH2"}, 0, true, amXOAuth2},
      {"a message above SIZE: nothing after EHLO but QUIT",
       implicit({{"EHLO x", "250-hello\r\n250 SIZE 88"}, {"QUIT", "221 bye"}}), Certificate::kTrusted, ecTls, false,
       "EHLO x\r\nQUIT\r\n", {}, 88, false, amAutomatic,
       "The message is " + std::to_string(kMessage.size() - 3) +
           " bytes, more than the 88 bytes the SMTP server takes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Step> script = c.script;
    script.push_back(ExpectTlsClose());
    TlsScriptedServer server(script, c.certificate);
    TQxSMTP s(nullptr);
    Aim(s, server.Port(), c.encryption);
    if (c.insecure) s.CaFile.clear();
    s.Insecure = c.insecure;
    LogIn(s, c.login, c.mechanism);
    Outlets outlets(s);
    s.Connect();
    EXPECT_TRUE(s.TlsActive());
    EXPECT_FALSE(s.Capabilities().StartTls);
    EXPECT_EQ(s.Capabilities().AuthMechanisms, c.mechanisms);
    EXPECT_EQ(s.Capabilities().SizeLimit, c.sizeLimit);
    EXPECT_THAT(s.Password, IsEmpty());
    std::string sendError;
    try {
      s.SendMail();
    } catch (const Exception& e) {
      sendError = e.Message();
      outlets.texts.push_back(sendError);
    }
    EXPECT_EQ(sendError, c.sendError);
    s.Disconnect();
    server.Join();
    EXPECT_EQ(server.Received(), c.received);
    EXPECT_THAT(server.Failures(), IsEmpty());
    outlets.ExpectNoSecret();
  }
}

// Nothing goes out after a failure: no QUIT in clear, no command inside TLS.
TEST(Encryption, FailuresEndTheDialogueThere) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    Certificate certificate;
    TEncryption encryption;
    std::string error;
    std::optional<std::string> received;  // none: a plain-text server, which gets the handshake's bytes
    bool login = false;
    TAuthMechanism mechanism = amAutomatic;
    bool credentialsRefused = false;  // EAuthenticationRefused: another password might do
  };
  // TLS from the first byte, EHLO answered by ehloReply, then the exchanges;
  // the client ends with QUIT.
  auto loggingIn = [](const std::string& ehloReply, Exchanges exchanges) {
    exchanges.insert(exchanges.begin(), {"EHLO x", ehloReply});
    exchanges.push_back({"QUIT", "221 bye"});
    return Then({StartTls(), Send("220 tls ready\r\n")}, exchanges, {Drain()});
  };
  const std::string offers = "250-hello\r\n250 AUTH PLAIN LOGIN";
  const std::string plain = "AUTH PLAIN " + kPlainResponse, xoauth2 = "AUTH XOAUTH2 " + kXOAuth2Response;
  const std::string refusal = "535 5.7.8 Error: authentication failed";
  const std::vector<Step> clearPart = Then({Send("220 ready\r\n")}, {{"EHLO x", "250-hello\r\n250 STARTTLS"}});
  auto answeringStartTls = [&](const std::string& reply, const std::vector<Step>& tail) {
    return Then(clearPart, {{"STARTTLS", reply}}, tail);
  };
  const Case cases[] = {
      {"STARTTLS not offered", Then({Send("220 ready\r\n")}, {{"EHLO x", "250-hello\r\n250 AUTH PLAIN"}}),
       Certificate::kTrusted, ecStartTls, std::string(kErrStartTlsNotOffered), "EHLO x\r\n"},
      {"STARTTLS refused", answeringStartTls("454 4.7.0 TLS not available", {Drain()}), Certificate::kTrusted,
       ecStartTls, "The SMTP server refused STARTTLS: 454 4.7.0 TLS not available\r\n", "EHLO x\r\nSTARTTLS\r\n"},
      {"STARTTLS answered with another 2xx", answeringStartTls("250 fine", {Drain()}), Certificate::kTrusted,
       ecStartTls, "The SMTP server refused STARTTLS: 250 fine\r\n", "EHLO x\r\nSTARTTLS\r\n"},
      {"greeting refused before STARTTLS", {Send("421 busy\r\n"), Drain()}, Certificate::kTrusted, ecStartTls,
       "421 busy\r\n", ""},
      {"self-signed", {StartTls(), Drain()}, Certificate::kSelfSigned, ecTls,
       "The server's certificate is not trusted: self-signed certificate", ""},
      {"expired", {StartTls(), Drain()}, Certificate::kExpired, ecTls,
       "The server's certificate is not trusted: certificate has expired", ""},
      {"other name, after STARTTLS", answeringStartTls("220 go ahead", {StartTls(), Drain()}),
       Certificate::kWrongName, ecStartTls, "The server's certificate is for other.mailshot.test, not localhost",
       "EHLO x\r\nSTARTTLS\r\n"},
      {"plain-text server on the TLS port", {Wait(300), Send("220 plain\r\n"), Drain()}, Certificate::kTrusted, ecTls,
       "The server did not answer with TLS: \"220 plain\"", std::nullopt},
      {"server closes in the handshake", {Wait(100), Close()}, Certificate::kTrusted, ecTls,
       "The server closed the connection during the TLS handshake", std::nullopt},
      {"AUTH PLAIN refused", loggingIn(offers, {{plain, refusal}}), Certificate::kTrusted, ecTls, refusal + "\r\n",
       "EHLO x\r\n" + plain + "\r\nQUIT\r\n", true, amAutomatic, true},
      {"AUTH PLAIN refused for a while", loggingIn(offers, {{plain, "454 4.7.0 try later"}}), Certificate::kTrusted,
       ecTls, "454 4.7.0 try later\r\n", "EHLO x\r\n" + plain + "\r\nQUIT\r\n", true},
      {"the credentials echoed in the refusal", loggingIn(offers, {{plain, "535 5.7.8 rejected " + kPlainResponse}}),
       Certificate::kTrusted, ecTls, "535 5.7.8 rejected ***\r\n", "EHLO x\r\n" + plain + "\r\nQUIT\r\n", true,
       amAutomatic, true},
      {"AUTH LOGIN refused", loggingIn(offers, {{"AUTH LOGIN", "504 5.5.4 not here"}}), Certificate::kTrusted, ecTls,
       "504 5.5.4 not here\r\n", "EHLO x\r\nAUTH LOGIN\r\nQUIT\r\n", true, amLogin},
      {"AUTH LOGIN refused at the user name", loggingIn(offers, {kLoginExchange[0], {kUserResponse, refusal}}),
       Certificate::kTrusted, ecTls, refusal + "\r\n", "EHLO x\r\nAUTH LOGIN\r\n" + kUserResponse + "\r\nQUIT\r\n",
       true, amLogin, true},
      {"AUTH LOGIN refused at the password",
       loggingIn("250-hello\r\n250 AUTH LOGIN", {kLoginExchange[0], kLoginExchange[1], {kPasswordResponse, refusal}}),
       Certificate::kTrusted, ecTls, refusal + "\r\n", "EHLO x\r\n" + Sent(kLoginExchange) + "QUIT\r\n", true,
       amAutomatic, true},
      {"the XOAUTH2 error challenge is ended with an empty line",
       loggingIn("250-hello\r\n250 AUTH XOAUTH2", {{xoauth2, "334 eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiQmVhcmVyIn0="},
                                      {"", "535 5.7.8 Username and Password not accepted"}}),
       Certificate::kTrusted, ecTls, "535 5.7.8 Username and Password not accepted\r\n",
       "EHLO x\r\n" + xoauth2 + "\r\n\r\nQUIT\r\n", true, amXOAuth2, true},
      {"a challenge where none is due is cancelled",
       loggingIn(offers, {{plain, "334 "}, {"*", "501 5.7.0 Authentication aborted"}}), Certificate::kTrusted, ecTls,
       "501 5.7.0 Authentication aborted\r\n", "EHLO x\r\n" + plain + "\r\n*\r\nQUIT\r\n", true},
      {"no mechanism for a password", loggingIn("250-hello\r\n250 AUTH CRAM-MD5 XOAUTH2", {}), Certificate::kTrusted,
       ecTls, "The SMTP server offers no login mechanism for a password (PLAIN or LOGIN); it offers CRAM-MD5 XOAUTH2",
       "EHLO x\r\nQUIT\r\n", true},
      {"the mechanism asked for is not offered", loggingIn(offers, {}), Certificate::kTrusted, ecTls,
       "The SMTP server does not offer the login mechanism XOAUTH2; it offers PLAIN LOGIN", "EHLO x\r\nQUIT\r\n",
       true, amXOAuth2},
      {"AUTH not offered", loggingIn("250 hello", {}), Certificate::kTrusted, ecTls,
       "The SMTP server offers no login mechanism for a password (PLAIN or LOGIN); it offers none",
       "EHLO x\r\nQUIT\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsScriptedServer server(c.script, c.certificate);
    TQxSMTP s(nullptr);
    Aim(s, server.Port(), c.encryption);
    LogIn(s, c.login, c.mechanism);
    Outlets outlets(s);
    bool connected = false;
    s.OnConnect = [&](TObject*) { connected = true; };
    try {
      s.Connect();
      ADD_FAILURE() << "connected";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.error);
      EXPECT_EQ(dynamic_cast<const EAuthenticationRefused*>(&e) != nullptr, c.credentialsRefused);
      outlets.texts.push_back(e.Message());
    }
    EXPECT_FALSE(connected);
    EXPECT_FALSE(s.Connected);
    EXPECT_THAT(s.Password, IsEmpty());
    outlets.ExpectNoSecret();
    server.Join();
    if (c.received) {
      EXPECT_EQ(server.Received(), *c.received);
    } else {
      EXPECT_EQ(server.Received().find("EHLO"), std::string::npos);
    }
  }
}

// An access token goes as XOAUTH2 where the server offers it, else as
// OAUTHBEARER; a token the server refuses for good is replaced once on the
// same connection, where a replacement comes.
TEST(Encryption, TokensLogInAndARefusedOneIsReplacedOnce) {
  // The client's lines by name: {x1} is AUTH XOAUTH2 with the first token,
  // {b2} AUTH OAUTHBEARER with the second (which names the server's port).
  const std::vector<std::string> tokens = {"t0ken-1", "t0ken-2"};
  const auto line = [&tokens](const std::string& name, std::uint16_t port) {
    if (name.size() != 4 || name[0] != '{') return name;
    const std::string& token = tokens[name[2] - '1'];
    if (name[1] == 'x') {
      return "AUTH XOAUTH2 " + line_encoding::Base64("user=" + kUser + "\x01" "auth=Bearer " + token + "\x01\x01");
    }
    return "AUTH OAUTHBEARER " + line_encoding::Base64("n,a=" + kUser + ",\x01" "host=localhost\x01" "port=" +
                                                       std::to_string(port) + "\x01" "auth=Bearer " + token +
                                                       "\x01\x01");
  };
  const std::string challenge = "334 eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiQmVhcmVyIn0=";
  const std::string refusal = "535 5.7.8 token refused";
  const struct {
    const char* name;
    std::string offers;
    TAuthMechanism mechanism;
    Exchanges auth;
    std::vector<std::string> replacements;  // what OnTokenRefused gives, call by call
    std::string error;                      // empty: logged in
    size_t refusals = 0;                    // calls of OnTokenRefused
  } cases[] = {
      {"XOAUTH2 where offered", "PLAIN OAUTHBEARER XOAUTH2", amTokenAutomatic, {{"{x1}", "235 ok"}}, {}, ""},
      {"else OAUTHBEARER", "PLAIN OAUTHBEARER", amTokenAutomatic, {{"{b1}", "235 ok"}}, {}, ""},
      {"OAUTHBEARER asked for", "XOAUTH2 OAUTHBEARER", amOAuthBearer, {{"{b1}", "235 ok"}}, {}, ""},
      {"a refused XOAUTH2 token replaced", "XOAUTH2", amTokenAutomatic,
       {{"{x1}", challenge}, {"", refusal}, {"{x2}", "235 ok"}}, {"t0ken-2"}, "", 1},
      {"a refused OAUTHBEARER token replaced", "OAUTHBEARER", amTokenAutomatic,
       {{"{b1}", challenge}, {"AQ==", refusal}, {"{b2}", "235 ok"}}, {"t0ken-2"}, "", 1},
      {"the replacement refused too", "XOAUTH2", amXOAuth2, {{"{x1}", refusal}, {"{x2}", refusal}}, {"t0ken-2"},
       refusal + "\r\n", 1},
      {"no replacement", "XOAUTH2", amTokenAutomatic, {{"{x1}", refusal}}, {""}, refusal + "\r\n", 1},
      {"a refusal for a while is no reason for a fresh token", "XOAUTH2", amTokenAutomatic,
       {{"{x1}", "454 4.7.0 try later"}}, {"t0ken-2"}, "454 4.7.0 try later\r\n"},
      {"a password is never replaced", "PLAIN", amAutomatic,
       {{"AUTH PLAIN " + line_encoding::Base64(std::string("\0", 1) + kUser + std::string("\0", 1) + tokens[0]),
         refusal}},
       {"t0ken-2"}, refusal + "\r\n"},
      {"no mechanism for a token", "PLAIN LOGIN", amTokenAutomatic, {}, {},
       "The SMTP server offers no login mechanism for an access token (XOAUTH2 or OAUTHBEARER); it offers PLAIN "
       "LOGIN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Exchanges scripted = {{"EHLO x", "250-hello\r\n250 AUTH " + c.offers}};
    for (const auto& [sent, reply] : c.auth) {
      scripted.push_back({sent.rfind("{b", 0) == 0 ? "AUTH OAUTHBEARER *" : line(sent, 0), reply});
    }
    scripted.push_back({"QUIT", "221 bye"});
    TlsScriptedServer server(Then({StartTls(), Send("220 tls ready\r\n")}, scripted, {Drain()}), Certificate::kTrusted);
    TQxSMTP s(nullptr);
    Aim(s, server.Port(), ecTls);
    s.LoginName = kUser;
    s.Password = tokens[0];
    s.AuthMechanism = c.mechanism;
    std::vector<std::string> refused;
    s.OnTokenRefused = [&](const std::string& token) {
      refused.push_back(token);
      return c.replacements.at(refused.size() - 1);
    };
    Outlets outlets(s);
    std::string error;
    try {
      s.Connect();
      s.Disconnect();
    } catch (const Exception& e) {
      error = e.Message();
      outlets.texts.push_back(error);
    }
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(refused, std::vector<std::string>(c.refusals, tokens[0]));
    server.Join();
    std::string received = "EHLO x\r\n";
    for (const auto& [sent, reply] : c.auth) received += line(sent, server.Port()) + "\r\n";
    EXPECT_EQ(server.Received(), received + "QUIT\r\n");
    EXPECT_THAT(server.Failures(), IsEmpty());
    for (const std::string& text : outlets.texts) {
      for (const std::string& token : tokens) EXPECT_EQ(text.find(token), std::string::npos) << text;
      for (const auto& [sent, reply] : c.auth) {
        if (sent.rfind("{", 0) == 0) {
          const std::string encoded = line(sent, server.Port());
          EXPECT_EQ(text.find(encoded.substr(encoded.find(' ', 5) + 1)), std::string::npos) << text;
        }
      }
    }
  }
}

TEST(Encryption, EhloWithoutUserNameGivesADomainOrTheAddressLiteral) {
  const struct {
    bool ipv6;
    const char* literal;  // as a pattern
  } cases[] = {{false, R"(\[127\.0\.0\.1\])"}, {true, R"(\[IPv6:::1\])"}};
  for (const auto& c : cases) {
    if (c.ipv6 && !IPv6Loopback()) continue;
    TlsScriptedServer server(Then({StartTls(), Send("220 tls ready\r\n")}, {{"EHLO *", "250 hello"}, {"QUIT", "221 bye"}}),
                             Certificate::kTrusted, {.ipv6 = c.ipv6});
    TQxSMTP s(nullptr);
    Aim(s, server.Port(), ecTls);
    if (c.ipv6) s.Host = "::1";  // an IP entry of the certificate
    s.UserID.clear();
    s.Connect();
    s.Disconnect();
    server.Join();
    const std::regex expected("EHLO (" + std::string(c.literal) + R"(|[-A-Za-z0-9]+(\.[-A-Za-z0-9]+)+)\r\nQUIT\r\n)");
    EXPECT_TRUE(std::regex_match(server.Received(), expected)) << server.Received();
  }
}

TEST(Encryption, LargeAttachmentArrivesWholeThroughTls) {
  std::string content(64 << 20, '\0');
  std::uint32_t state = 20240501;
  for (char& byte : content) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  TlsScriptedServer server({StartTls(), SmtpSink()}, Certificate::kTrusted,
                           ServerOptions{1, std::chrono::milliseconds(120000)});
  const TempDir dir;
  TQxSMTP s(nullptr);
  Aim(s, server.Port(), ecTls);
  s.TimeOut = 60000;
  s.ClearParams = false;
  s.PostMessage().Attachments().Add(dir.Write("big.bin", content));
  content = {};
  std::string body;  // as composed; the send empties the stream when it ends
  s.OnSendStart = [&](TObject*) { body = s.BodyStream().ToString(); };
  s.Connect();
  s.SendMail();
  s.Disconnect();
  server.Join();
  EXPECT_THAT(server.Failures(), IsEmpty());
  const std::string received = server.Received();
  std::string header;
  for (const std::string& line : s.FinalHeader().Items()) header += line + "\r\n";
  const std::string before = "EHLO x\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<r@x>\r\nDATA\r\n" + header + "\r\n\r\n";
  const std::string after = ".\r\nQUIT\r\n";
  ASSERT_EQ(received.size(), before.size() + body.size() + after.size());
  EXPECT_EQ(received.compare(0, before.size(), before), 0);
  EXPECT_EQ(received.compare(before.size(), body.size(), body), 0);
  EXPECT_EQ(received.substr(received.size() - after.size()), after);
}

}  // namespace
