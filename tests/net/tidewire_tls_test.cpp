// TTidewire's transfers inside TLS against the scripted server's TLS side:
// whole transcripts, the certificate checks and the failures of a server
// that is no TLS server or leaves in the middle. The Windows build runs the
// same cases through Schannel against the native server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/Stream.h"
#include "net/NetTestSupport.h"
#include "support/TlsScriptedServer.h"
#include "test_support/TempDir.h"

namespace {

using testing::AllOf;
using testing::AnyOf;
using testing::EndsWith;
using testing::IsEmpty;
using testing::StartsWith;
using namespace testserver;

platform::TlsSettings Trusting(const std::string& host) { return {host, TestCaFile(), false}; }

TEST(TidewireTls, TranscriptsInsideTls) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    Certificate certificate;
    platform::TlsSettings settings;
    bool starttls;  // greeting and STARTTLS in plain text first
    int maxMinorVersion = 0;  // of the server's TLS 1.x; 0: any
  };
  const std::vector<Step> implicit = {StartTls(),          Send("220 hi\r\n"), ExpectLine("NOOP"),
                                      Send("250 ok\r\n"),  ExpectTlsClose()};
  const Case cases[] = {
      {"implicit TLS, name checked", implicit, Certificate::kTrusted, Trusting("localhost"), false},
      {"STARTTLS, address checked",
       {Send("220 hi\r\n"), ExpectLine("STARTTLS"), Send("220 go ahead\r\n"), StartTls(), ExpectLine("NOOP"),
        Send("250 ok\r\n"), ExpectTlsClose()},
       Certificate::kTrusted,
       Trusting("127.0.0.1"),
       true},
      {"implicit TLS, IPv6 address checked", implicit, Certificate::kTrusted, Trusting("::1"), false},
      {"insecure takes a self-signed certificate", implicit, Certificate::kSelfSigned, {"localhost", "", true}, false},
      // The greeting often comes with the last bytes of a TLS 1.2 handshake.
      {"TLS 1.2, greeting behind the handshake", implicit, Certificate::kTrusted, Trusting("localhost"), false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.tls.maxMinorVersion = c.maxMinorVersion;
    TlsScriptedServer server(c.script, c.certificate, options);
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    wire.TimeOut = 5000;  // a greeting missed would hang the read
    std::string line;
    std::string reply;
    if (c.starttls) {
      wire.ReadLn(line);
      wire.Transaction("STARTTLS", reply);
      EXPECT_EQ(reply, "220 go ahead\r\n");
    }
    wire.StartTls(c.settings);
    if (!c.starttls) wire.ReadLn(line);
    EXPECT_EQ(line, "220 hi\r\n");
    wire.Transaction("NOOP", reply);
    EXPECT_EQ(reply, "250 ok\r\n");
    const platform::TlsSessionInfo info = wire.TlsInfo();
    EXPECT_THAT(info.protocol, AnyOf("TLSv1.2", "TLSv1.3"));
    EXPECT_EQ(info.subject, "CN=localhost");
    // The suite's IANA name, whole, on either platform.
    EXPECT_THAT(info.cipher, AllOf(StartsWith("TLS_"), AnyOf(EndsWith("_SHA256"), EndsWith("_SHA384"))));
    EXPECT_EQ(info.cipher.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"), std::string::npos) << info.cipher;
    wire.Disconnect();
    EXPECT_FALSE(wire.TlsActive());
    server.Join();
    EXPECT_EQ(server.Received(), c.starttls ? "STARTTLS\r\nNOOP\r\n" : "NOOP\r\n");
    EXPECT_THAT(server.Failures(), IsEmpty());
  }
}

// Each failure ends with its text, and nothing is sent inside TLS.
TEST(TidewireTls, FailuresNameTheirReason) {
  struct Case {
    const char* name;
    std::vector<Step> script;
    Certificate certificate;
    platform::TlsSettings settings;
    const char* error;
    bool greetingFirst = false;  // a plain-text line is read before TLS starts
    int maxMinorVersion = 0;  // of the server's TLS 1.x; 0: any
    std::int32_t timeOut = 0;
  };
  const std::vector<Step> handshake = {StartTls(), Drain()};
  const Case cases[] = {
      {"self-signed", handshake, Certificate::kSelfSigned, Trusting("localhost"),
       "The server's certificate is not trusted: self-signed certificate"},
      {"issuer unknown without the CA file", handshake, Certificate::kTrusted, {"localhost", "", false},
       "The server's certificate is not trusted: unable to get local issuer certificate"},
      {"expired", handshake, Certificate::kExpired, Trusting("localhost"),
       "The server's certificate is not trusted: certificate has expired"},
      {"other name", handshake, Certificate::kWrongName, Trusting("localhost"),
       "The server's certificate is for other.mailshot.test, not localhost"},
      {"other address", handshake, Certificate::kTrusted, Trusting("127.0.0.2"),
       "The server's certificate is for localhost, 127.0.0.1, ::1, not 127.0.0.2"},
      {"other IPv6 address", handshake, Certificate::kTrusted, Trusting("2001:db8::25"),
       "The server's certificate is for localhost, 127.0.0.1, ::1, not 2001:db8::25"},
      {"the host in the common name alone", handshake, Certificate::kCommonNameOnly, Trusting("localhost"),
       "The server's certificate is not trusted: the certificate names no DNS host (common name only)"},
      {"the host in the common name, an address in the alternative names", handshake, Certificate::kAddressOnly,
       Trusting("localhost"),
       "The server's certificate is not trusted: the certificate names no DNS host (common name only)"},
      {"the address as a DNS name", handshake, Certificate::kDnsAddress, Trusting("127.0.0.1"),
       "The server's certificate is for DNS name 127.0.0.1, DNS name ::1, not 127.0.0.1"},
      {"the IPv6 address as a DNS name", handshake, Certificate::kDnsAddress, Trusting("::1"),
       "The server's certificate is for DNS name 127.0.0.1, DNS name ::1, not ::1"},
      {"a NUL inside a DNS name", handshake, Certificate::kNulInName, Trusting("localhost"),
       "The server's certificate is for localhost\\x00.other.mailshot.test, not localhost"},
      {"plain text after the STARTTLS reply", {Send("220 go\r\nX"), Drain()}, Certificate::kTrusted,
       Trusting("localhost"), "The server sent data before the TLS handshake: \"X\"", true},
      {"plain-text server", {Wait(300), Send("220 plain\r\n"), Drain()}, Certificate::kTrusted,
       Trusting("localhost"), "The server did not answer with TLS: \"220 plain\""},
      {"server closes in the handshake", {Wait(100), Close()}, Certificate::kTrusted, Trusting("localhost"),
       "The server closed the connection during the TLS handshake"},
      {"silent server", {Stall()}, Certificate::kTrusted, Trusting("localhost"), "TLS handshake timed out", false,
       0, 300},
      {"renegotiation", {StartTls(), Send("220 hi\r\n"), Renegotiate(), Send("250 later\r\n"), Drain()},
       Certificate::kTrusted, Trusting("localhost"),
       "The server asked to renegotiate the TLS session, which is refused", false, 2},
      {"CA file missing", handshake, Certificate::kTrusted, {"localhost", "no-such-ca.pem", false},
       "The CA file cannot be read: no-such-ca.pem"},
      {"TLS 1.1 only", handshake, Certificate::kTrusted, Trusting("localhost"),
       "The TLS handshake failed: the server does not speak TLS 1.2 or later", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.tls.maxMinorVersion = c.maxMinorVersion;
    TlsScriptedServer server(c.script, c.certificate, options);
    TestTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    wire.TimeOut = c.timeOut;
    std::string line;
    if (c.greetingFirst) wire.ReadLn(line);
    try {
      wire.StartTls(c.settings);
      for (int i = 0; i < 3; ++i) wire.ReadLn(line);
      ADD_FAILURE() << "no failure";
    } catch (const ESockError& e) {
      EXPECT_EQ(e.Message(), c.error);
    }
    EXPECT_FALSE(wire.Timer->Armed());
    wire.Disconnect();
    // A plain-text server receives the handshake's first bytes. (The others
    // are stopped as they stand: a silent one would wait for its deadline.)
    if (c.script.front().kind == Step::Kind::kStartTls) {
      server.Join();
      EXPECT_EQ(server.Received(), "");
    }
  }
}

TEST(TidewireTls, CancelFromAMessageHandlerEndsTheHandshake) {
  TlsScriptedServer server({Stall()}, Certificate::kTrusted);
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  TThreadTimer other(nullptr);
  other.SetInterval(100);
  other.SetOnTimer([&](TObject*) { wire.Abort(); });
  try {
    wire.StartTls(Trusting("localhost"));
    FAIL() << "not aborted";
  } catch (const EAbortError& e) {
    EXPECT_EQ(e.Message(), "TLS handshake aborted");
  }
  EXPECT_FALSE(wire.Canceled);
  EXPECT_FALSE(wire.TlsActive());
}

// A server that sends records without plaintext as fast as it can (TLS 1.3
// session tickets) holds neither a read past its time-out nor the close
// after it, however much faster than the client it is.
TEST(TidewireTls, RecordsWithoutPlaintextHoldNoReadPastItsTimeOut) {
  TlsScriptedServer server({StartTls(), Tickets()}, Certificate::kTrusted,
                           ServerOptions{1, std::chrono::milliseconds(60000)});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  wire.StartTls(Trusting("localhost"));
  const std::string protocol = wire.TlsInfo().protocol;
  if (protocol != "TLSv1.3") GTEST_SKIP() << "no session tickets after the handshake of " << protocol;
  wire.TimeOut = 500;
  // Meanwhile the tickets fill the socket's buffers: a backlog for the read.
  platform::SleepMilliseconds(1000);
  const auto start = std::chrono::steady_clock::now();
  std::string line;
  EXPECT_THROW(wire.ReadLn(line), EAbortError);
  EXPECT_TRUE(wire.TimedOut);
  wire.Disconnect();
  // The read's time-out and the close's two seconds, with room for a loaded
  // machine; a read or close held by the records would last the flood's minute.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20000));
}

TEST(TlsCaFile, ProblemsNamed) {
  const TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    std::string problem;
  };
  const std::string noPem = dir.Write("no-pem.txt", "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
  const Case cases[] = {
      {"missing", dir.Path("missing.pem"), "The CA file cannot be read: " + dir.Path("missing.pem")},
      {"no certificate in it", noPem, "The CA file holds no PEM certificate: " + noPem},
      {"the test CA", TestCaFile(), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::CaFileProblem(c.path), c.problem) << c.name;
}

TEST(TidewireTls, LargeStreamArrivesWhole) {
  std::string block;
  for (int i = 0; block.size() < 4 * 1024 * 1024; ++i) block += "line " + std::to_string(i) + "\r\n";
  TlsScriptedServer server({StartTls(), ExpectTlsClose()}, Certificate::kTrusted,
                           ServerOptions{1, std::chrono::milliseconds(30000)});
  TestTidewire wire(nullptr);
  ConnectTo(wire, server.Port());
  wire.StartTls(Trusting("localhost"));
  TMemoryStream stream;
  stream.WriteBuffer(block.data(), static_cast<std::int64_t>(block.size()));
  wire.SendStream(stream);
  EXPECT_EQ(wire.BytesSent, static_cast<std::int32_t>(block.size()));
  wire.Disconnect();
  server.Join();
  EXPECT_TRUE(server.Received() == block) << "received " << server.Received().size() << " of " << block.size();
  EXPECT_THAT(server.Failures(), IsEmpty());
}

}  // namespace
