#pragma once
// What the SMTP dialogue tests share: a client aimed at a scripted loopback
// server, the standard accepting dialogue and transcript builders.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/Exceptions.h"
#include "smtp/Boundaries.h"
#include "smtp/Qxsmtp.h"
#include "support/ScriptedServer.h"
#include "test_support/TempDir.h"

namespace smtptest {

using testserver::ScriptedServer;
using testserver::Step;
using ::testing::IsEmpty;
using Exchanges = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

// More than loopback's send and receive buffers hold together: sending it
// meets the peer's reset, or a peer that reads nothing.
inline constexpr size_t kBeyondSocketBuffers = 32 << 20;

/// Where a transcript has its first boundary (see Transcript).
inline const std::string kBoundary = boundaries::Placeholder(1);
inline const std::string kEnvelope = "HELO x\r\nRSET\r\nMAIL FROM:<s@x>\r\nRCPT TO:<r@x>\r\nDATA\r\n";

/// The dialogue of one accepted message, with room for what follows.
inline Exchanges Accepting(Exchanges tail = {{"QUIT", "221 bye"}}) {
  Exchanges exchanges{{"HELO x", "250 hello"}, {"RSET", "250 reset"},   {"MAIL FROM:<s@x>", "250 sender ok"},
                      {"RCPT TO:<r@x>", "250 recipient ok"},            {"DATA", "354 go ahead"},
                      {".", "250 queued"}};
  exchanges.insert(exchanges.end(), tail.begin(), tail.end());
  return exchanges;
}

inline std::vector<Step> Script(const Exchanges& exchanges, std::vector<Step> tail = {}) {
  std::vector<Step> script = testserver::SmtpDialogue("220 test ready", exchanges);
  script.insert(script.end(), tail.begin(), tail.end());
  return script;
}

/// The header block: every line with CR LF, then CR LF twice more.
inline std::string Block(const Lines& lines) {
  std::string block;
  for (const std::string& line : lines) block += line + "\r\n";
  return block + "\r\n\r\n";
}

inline std::string Part(const std::string& name, const std::string& data, const std::string& boundary = kBoundary) {
  return "--" + boundary + "\r\nContent-Type: application/octet-stream; name=\"" + name +
         "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + name +
         "\"\r\n\r\n" + data;
}

class Dialogue : public ::testing::Test {
 protected:
  Dialogue() { Renew(); }

  /// A fresh client: table cases must not inherit a component's history.
  void Renew() {
    owned = std::make_unique<TQxSMTP>(nullptr);
    smtp = owned.get();
    m = &smtp->PostMessage();
    smtp->Host = "127.0.0.1";
    smtp->TimeOut = 5000;  // a wait that never ends fails the test instead of hanging it
    smtp->UserID = "x";
    m->FromAddress = "s@x";
    m->ToAddress().Add("r@x");
    if (server) smtp->Port = server->Port();
  }

  void Serve(std::vector<Step> script) {
    server = std::make_unique<ScriptedServer>(std::move(script));
    smtp->Port = server->Port();
  }

  /// Waits for the end of the script; what the server received, its
  /// boundaries numbered.
  std::string Transcript() {
    server->Join();
    EXPECT_THAT(server->Failures(), IsEmpty());
    return boundaries::Numbered(server->Received());
  }

  /// The message text of what f raises (empty when it raises nothing).
  static std::string ErrorOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "";
  }

  std::unique_ptr<ScriptedServer> server;
  std::unique_ptr<TQxSMTP> owned;
  TQxSMTP* smtp = nullptr;
  TPostMessage* m = nullptr;
  TempDir dir;
};

}  // namespace smtptest
