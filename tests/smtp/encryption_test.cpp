// The SMTP dialogue inside TLS against the scripted server's TLS side: TLS
// from the first byte and after STARTTLS, byte-exact; each failure ends the
// dialogue with its text and nothing more goes out. The Windows build runs
// the same cases through Schannel against the native server.

#include <optional>
#include <regex>

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

/// The accepted dialogue of one message with EHLO answered by ehloReply.
Exchanges AcceptingEhlo(const std::string& ehloReply) {
  Exchanges exchanges = Accepting();
  exchanges.front() = {"EHLO x", ehloReply};
  return exchanges;
}

const std::string kMessage =
    Block({"From: <s@x>", "To: r@x", "Mime-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}) + ".\r\n";
const std::string kInsideTls = "EHLO x\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<r@x>\r\nDATA\r\n" + kMessage + "QUIT\r\n";

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
  };
  const Case cases[] = {
      {"TLS from the first byte",
       Then({StartTls(), Send("220 tls ready\r\n")}, AcceptingEhlo("250-hello\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 1000")),
       Certificate::kTrusted, ecTls, false, kInsideTls, {"PLAIN", "LOGIN"}, 1000},
      {"STARTTLS: the capabilities read in clear are forgotten",
       Then(Then({Send("220 ready\r\n")},
                 {{"EHLO x", "250-hello\r\n250-STARTTLS\r\n250 AUTH LOGIN"}, {"STARTTLS", "220 go ahead"}},
                 {StartTls()}),
            AcceptingEhlo("250-hello again\r\n250-AUTH XOAUTH2\r\n250 SIZE")),
       Certificate::kTrusted, ecStartTls, false, "EHLO x\r\nSTARTTLS\r\n" + kInsideTls, {"XOAUTH2"}, 0},
      {"insecure takes a self-signed certificate",
       Then({StartTls(), Send("220 tls ready\r\n")}, AcceptingEhlo("250 hello")), Certificate::kSelfSigned, ecTls,
       true, kInsideTls, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RandSeed() = 0;
    std::vector<Step> script = c.script;
    script.push_back(ExpectTlsClose());
    TlsScriptedServer server(script, c.certificate);
    TQxSMTP s(nullptr);
    Aim(s, server.Port(), c.encryption);
    if (c.insecure) s.CaFile.clear();
    s.Insecure = c.insecure;
    s.Connect();
    EXPECT_TRUE(s.TlsActive());
    EXPECT_FALSE(s.Capabilities().StartTls);
    EXPECT_EQ(s.Capabilities().AuthMechanisms, c.mechanisms);
    EXPECT_EQ(s.Capabilities().SizeLimit, c.sizeLimit);
    s.SendMail();
    s.Disconnect();
    server.Join();
    EXPECT_EQ(server.Received(), c.received);
    EXPECT_THAT(server.Failures(), IsEmpty());
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
  };
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TlsScriptedServer server(c.script, c.certificate);
    TQxSMTP s(nullptr);
    Aim(s, server.Port(), c.encryption);
    bool connected = false;
    s.OnConnect = [&](TObject*) { connected = true; };
    try {
      s.Connect();
      ADD_FAILURE() << "connected";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.error);
    }
    EXPECT_FALSE(connected);
    EXPECT_FALSE(s.Connected);
    server.Join();
    if (c.received) {
      EXPECT_EQ(server.Received(), *c.received);
    } else {
      EXPECT_EQ(server.Received().find("EHLO"), std::string::npos);
    }
  }
}

TEST(Encryption, EhloWithoutUserNameGivesADomainOrTheAddressLiteral) {
  TlsScriptedServer server(Then({StartTls(), Send("220 tls ready\r\n")}, {{"EHLO *", "250 hello"}, {"QUIT", "221 bye"}}),
                           Certificate::kTrusted);
  TQxSMTP s(nullptr);
  Aim(s, server.Port(), ecTls);
  s.UserID.clear();
  s.Connect();
  s.Disconnect();
  server.Join();
  const std::regex expected(R"(EHLO (\[127\.0\.0\.1\]|[-A-Za-z0-9]+(\.[-A-Za-z0-9]+)+)\r\nQUIT\r\n)");
  EXPECT_TRUE(std::regex_match(server.Received(), expected)) << server.Received();
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
  const TMemoryStream& body = s.BodyStream();
  ASSERT_EQ(received.size(), before.size() + static_cast<size_t>(body.DataSize()) + after.size());
  EXPECT_EQ(received.compare(0, before.size(), before), 0);
  EXPECT_EQ(received.compare(before.size(), static_cast<size_t>(body.DataSize()), body.Memory(),
                             static_cast<size_t>(body.DataSize())),
            0);
  EXPECT_EQ(received.substr(received.size() - after.size()), after);
}

}  // namespace
