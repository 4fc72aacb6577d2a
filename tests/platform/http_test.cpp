// The HTTPS exchange against the scripted server's TLS side: the request as
// the server reads it, the answer whatever its status, and every failure
// without the form ever reaching a server that failed its check. The
// Windows build runs the same cases through WinHTTP against the native
// server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Http.h"
#include "support/TlsScriptedServer.h"

namespace {

using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;
using namespace testserver;

const std::string kForm = "grant_type=refresh_token&refresh_token=r3fresh-Secret";

std::string Answer(const std::string& statusLine, const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 " + statusLine + "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n" + body;
}

/// The request's head read, then the answer; the form is recorded meanwhile.
std::vector<Step> Answering(const std::string& answer) {
  return {StartTls(), ReadUntil(""), Send(answer), Drain()};
}

TEST(Http, PostsTheFormAndReturnsTheAnswerWhateverItsStatus) {
  const struct {
    const char* name;
    std::string answer;
    int status;
    std::string body;
  } cases[] = {
      {"a token", Answer("200 OK", R"({"access_token":"a"})"), 200, R"({"access_token":"a"})"},
      {"a refusal", Answer("400 Bad Request", R"({"error":"invalid_grant"})"), 400, R"({"error":"invalid_grant"})"},
      // Followed, a redirect would take the form to another server.
      {"a redirect, not followed", Answer("302 Found", "", "Location: https://localhost:1/elsewhere\r\n"), 302, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsScriptedServer server(Answering(c.answer), Certificate::kTrusted);
    std::string body;
    const int status = platform::PostForm(
        {"https://localhost:" + std::to_string(server.Port()) + "/tenant/token?x=1", kForm, TestCaFile(), 10000},
        body);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(body, c.body);
    server.Join();
    const std::string received = server.Received();
    EXPECT_THAT(received, StartsWith("POST /tenant/token?x=1 HTTP/1.1\r\n"));
    EXPECT_THAT(received, HasSubstr("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_THAT(received, HasSubstr("\r\nAccept: application/json\r\n"));
    EXPECT_THAT(received, HasSubstr("\r\nContent-Length: " + std::to_string(kForm.size()) + "\r\n"));
    EXPECT_EQ(received.substr(received.find("\r\n\r\n") + 4), kForm);
    EXPECT_THAT(server.Failures(), IsEmpty());
  }
}

// No answer: the reason in words, and the form never sent.
TEST(Http, FailuresNameTheirReasonAndKeepTheForm) {
  const std::string tooLong = Answer("200 OK", std::string(platform::kLongestHttpBody + 1, 'x'));
  const struct {
    const char* name;
    std::vector<Step> script;
    Certificate certificate;
    std::string scheme;
    std::string caFile;
    std::string error;
    bool formSent = false;
    int connections = 1;  // the issuer is looked for in the system's bundle file too, on a second connection
    int bound = 10000;    // on the whole exchange, in milliseconds: far beyond a handshake on a loaded machine
  } cases[] = {
      {"self-signed", Answering(""), Certificate::kSelfSigned, "https", TestCaFile(),
       "The server's certificate is not trusted: self-signed certificate"},
      {"expired", Answering(""), Certificate::kExpired, "https", TestCaFile(),
       "The server's certificate is not trusted: certificate has expired"},
      {"issuer unknown without the CA file", Answering(""), Certificate::kTrusted, "https", "",
       "The server's certificate is not trusted: unable to get local issuer certificate", false, 2},
      {"for another name", Answering(""), Certificate::kWrongName, "https", TestCaFile(), "The server's certificate"},
      {"CA file unreadable", {}, Certificate::kTrusted, "https", "no-such-ca.pem",
       "The CA file cannot be read: no-such-ca.pem"},
      {"plain http", {}, Certificate::kTrusted, "http", TestCaFile(), std::string(platform::kHttpNotHttps)},
      {"no answer in time", {StartTls(), ReadUntil(""), Drain()}, Certificate::kTrusted, "https", TestCaFile(),
       "no answer within 5 s", true, 1, 5000},
      {"an answer too long", Answering(tooLong), Certificate::kTrusted, "https", TestCaFile(),
       std::string(platform::kHttpBodyTooLong), true},
      {"no TLS server", {Send(Answer("400 Bad Request", "")), Drain()}, Certificate::kTrusted, "https", TestCaFile(),
       "The TLS handshake failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.deadline = std::chrono::milliseconds(c.script.empty() ? 100 : c.bound + 5000);
    options.connections = c.connections;
    TlsScriptedServer server(c.script, c.certificate, options);
    std::string body;
    const std::string url = c.scheme + "://localhost:" + std::to_string(server.Port()) + "/token";
    try {
      platform::PostForm({url, kForm, c.caFile, c.bound}, body);
      ADD_FAILURE() << "no failure";
    } catch (const platform::HttpError& e) {
      EXPECT_THAT(e.what(), StartsWith(c.error));
    }
    // The client is done: a server still waiting (for a second connection
    // that a system without the retry never makes) has shown all it can.
    if (!c.formSent) server.Stop();
    server.Join();
    EXPECT_EQ(server.Received().find(kForm) != std::string::npos, c.formSent);
  }
}

TEST(Http, NoConnectionToAClosedPort) {
  std::string body;
  try {
    platform::PostForm({"https://127.0.0.1:" + std::to_string(UnusedPort()) + "/token", kForm, "", 5000}, body);
    ADD_FAILURE() << "no failure";
  } catch (const platform::HttpError& e) {
    EXPECT_EQ(std::string(e.what()), platform::kHttpNoConnection);
  }
}

}  // namespace
