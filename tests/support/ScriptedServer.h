#pragma once
// A scripted TCP server for tests: it listens on 127.0.0.1 at an ephemeral
// port, plays a script of steps against each client it accepts, records
// every byte it receives and stops by itself at its deadline.
//
//   ScriptedServer server({Send("220 hi\r\n"), ExpectLine("HELO *"), Send("250 ok\r\n"),
//                          ExpectLine("QUIT"), Send("221 bye\r\n")});
//   ... connect a client to server.Port() and talk ...
//   server.Join();
//   EXPECT_EQ(server.Received(), "HELO x\r\nQUIT\r\n");
//   EXPECT_THAT(server.Failures(), IsEmpty());

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/ServerTls.h"
#include "support/WireShim.h"

namespace testserver {

/// One step of a script.
struct Step {
  enum class Kind {
    kSend,           // send text in one call
    kSendFragments,  // send parts, one call each, pausing milliseconds between them
    kWait,           // pause milliseconds
    kExpectLine,     // read one line, compare it (without its line end) with text
    kReadUntil,      // read lines until one (without its line end) equals text
    kClose,          // orderly close: FIN, then record until the peer closes
    kReset,          // close with linger 0: the peer sees a reset
    kStall,          // neither read nor write until stopped or the deadline
    kDrain,          // record until the peer closes
    kSmtpSink,       // answer as an SMTP server that accepts everything
    kStartTls,       // TLS from here on (ServerOptions::tls); refused when the client sent more first
    kRenegotiate,    // ask the client to renegotiate the TLS session
    kExpectTlsClose, // record until the client closes; it must end TLS with close_notify
    kTickets,        // TLS 1.3 session tickets, records without plaintext, until stopped, the deadline or a close
  };
  Kind kind;
  std::string text;
  std::vector<std::string> parts;
  int milliseconds = 0;
};

Step Send(std::string text);
Step SendFragments(std::vector<std::string> parts, int pauseMilliseconds);
Step Wait(int milliseconds);
/// A pattern ending in "*" matches every line that starts with the rest.
Step ExpectLine(std::string pattern);
Step ReadUntil(std::string line);
Step Close();
Step Reset();
Step Stall();
Step Drain();
/// Greets with "220 ...", answers DATA with 354 and reads to ".", answers
/// that and every other command with 250, answers QUIT with 221 and closes.
Step SmtpSink();
/// Implicit TLS is a script that starts with StartTls().
Step StartTls();
Step Renegotiate();
Step ExpectTlsClose();
/// Floods the client with session tickets; a failure where the session is
/// older than TLS 1.3, which has none to send after the handshake.
Step Tickets();

/// A whole dialogue: the greeting, then for each pair the client line
/// expected (pattern as ExpectLine; "." reads the data up to the line ".")
/// and the reply, CR LF added to greeting and replies.
std::vector<Step> SmtpDialogue(const std::string& greeting,
                               const std::vector<std::pair<std::string, std::string>>& exchanges);

/// Parses the text form of a script, one step per line ("#" starts a
/// comment line): send TEXT | fragments MS PART|PART... | wait MS |
/// expect PATTERN | until LINE | close | reset | stall | drain | sink |
/// starttls | renegotiate | tlsclose | tickets. TEXT and PART understand \r \n \t
/// \\ \| and \xHH. Raises std::invalid_argument naming the bad line.
std::vector<Step> ParseScript(std::string_view text);
/// The text form of script, which ParseScript reads back as the same steps.
std::string ScriptText(const std::vector<Step>& script);

struct ServerOptions {
  int connections = 1;                            // clients served one after the other
  std::chrono::milliseconds deadline{10000};      // from construction; then everything ends
  std::chrono::milliseconds closeGrace{2000};     // how long Close waits for the peer's close
  bool record = true;                             // keep received bytes (off for bulk benchmarks)
  ServerTlsSettings tls{};                        // for StartTls steps
};

/// The server; its thread starts at construction and ends by itself.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::vector<Step> script, ServerOptions options = {});
  /// Stops whatever still runs and joins the thread.
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  /// The listening port (valid from construction on); raises
  /// std::runtime_error from the constructor when no listener can be made.
  std::uint16_t Port() const { return port_; }
  /// Waits until the script has ended for every connection (or the deadline).
  void Join();
  /// Ends the script at once: stalls end, connections are closed.
  void Stop();

  /// Every byte received so far, all connections in order; inside TLS the
  /// plaintext.
  std::string Received() const;
  /// Bytes received so far from all connections (also when not recording).
  std::int64_t ReceivedCount() const { return received_count_.load(); }
  /// Unmet expectations and unfinished steps, one text each.
  std::vector<std::string> Failures() const;
  int Accepted() const { return accepted_.load(); }
  /// True once the script has ended for every connection (or the deadline).
  bool Finished() const { return finished_.load(); }

 private:
  class Session;
  void Run();
  bool Expired() const;
  void Fail(std::string text);
  void Record(const char* data, int count);

  std::vector<Step> script_;
  ServerOptions options_;
  std::chrono::steady_clock::time_point deadline_;
  wire::Socket listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<bool> finished_{false};
  std::atomic<std::int64_t> received_count_{0};
  mutable std::mutex mutex_;
  std::string received_;
  std::vector<std::string> failures_;
  std::thread thread_;
};

/// A loopback port on which nothing listens (bound once, then released).
std::uint16_t UnusedPort();

}  // namespace testserver
