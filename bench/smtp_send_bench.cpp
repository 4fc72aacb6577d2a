// The SMTP client with a large attachment.
//
//   smtp_send_bench [benchmark flags]    composition of a 64 MB attachment
//   smtp_send_bench --sink CONNECTIONS [--tls|--starttls CERT KEY]
//                                        a fast loopback SMTP sink that
//                                        offers PIPELINING; prints its port,
//                                        serves that many clients (with
//                                        --tls in TLS from the first byte,
//                                        with --starttls after STARTTLS,
//                                        presenting CERT)
//   smtp_send_bench --send FILE PORT     sends one message with FILE
//                                        attached through TQxSMTP; prints the
//                                        composition and the whole send time
//
// bench/smtp_send.sh runs the sink, the send and curl's upload side by side;
// bench/program_send.sh and bench/tls_send.sh use the sink for the program.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/Qxsmtp.h"
#include "support/ServerTls.h"
#include "test_support/TempDir.h"

namespace {

constexpr std::int64_t kAttachmentSize = 64 * 1024 * 1024;

// --- Composition -------------------------------------------------------------

void BM_ComposeAttachment(benchmark::State& state) {
  TempDir dir;
  const std::string path = dir.Path("attachment.bin");
  {
    std::ofstream file(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + i / 7);
    for (std::int64_t written = 0; written < state.range(0); written += static_cast<std::int64_t>(block.size()))
      file.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  TQxSMTP smtp(nullptr);
  smtp.PostMessage().FromAddress = "s@x";
  smtp.PostMessage().ToAddress().Add("r@x");
  smtp.PostMessage().Body().Add("Hello");
  smtp.PostMessage().Attachments().Add(path);
  // Composed, then read as the sender reads it: the lines are encoded then.
  std::vector<char> chunk(64 * 1024);
  for (auto _ : state) {
    smtp.ComposeMessage();
    while (smtp.BodyStream().Read(chunk.data(), static_cast<std::int64_t>(chunk.size())) > 0) {
      benchmark::DoNotOptimize(chunk.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.counters["body_MB"] = static_cast<double>(smtp.BodyStream().DataSize()) / 1e6;
}
BENCHMARK(BM_ComposeAttachment)->Arg(1 << 20)->Arg(kAttachmentSize)->Unit(benchmark::kMillisecond);

// --- Sending through TQxSMTP -------------------------------------------------

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

int Send(const std::string& path, int port) {
  TQxSMTP smtp(nullptr);
  smtp.Host = "127.0.0.1";
  smtp.Port = port;
  smtp.UserID = "bench.local";
  TPostMessage& message = smtp.PostMessage();
  message.FromAddress = "s@x";
  message.ToAddress().Add("r@x");
  message.Subject = "bench";
  message.Body().Add("Hello");
  message.Attachments().Add(path);

  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point sendStart;
  double composed = 0;  // SendMail composes first, then fires OnSendStart
  std::int64_t bodySize = 0;
  smtp.OnSendStart = [&](TObject*) {
    composed = Seconds(sendStart);
    bodySize = smtp.BodyStream().DataSize();
  };
  try {
    smtp.Connect();
    sendStart = std::chrono::steady_clock::now();
    smtp.SendMail();
    const double sent = Seconds(sendStart);
    smtp.Disconnect();
    std::printf("composition %.3f s, SendMail %.3f s, whole %.3f s, body %lld bytes\n", composed, sent,
                Seconds(start), static_cast<long long>(bodySize));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "send failed: %s\n", e.what());
    return 1;
  }
  return 0;
}

// --- The sink ------------------------------------------------------------------

/// The sink's end of one client's connection: the socket itself, or a TLS
/// session over it. Owns neither the socket nor its close.
class Connection {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  ~Connection() {
    if (tls_) tls_->Shutdown();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Runs the server's TLS handshake; false when it fails.
  bool StartTls(const testserver::ServerTlsSettings& settings) {
    // TLS writes records in a row (session tickets, then the greeting),
    // which Nagle's algorithm would hold back for the client's delayed ACK.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::string error;
    tls_ = testserver::AcceptTls(fd_, settings, [] { return true; }, error);
    if (!tls_) std::fprintf(stderr, "sink: TLS handshake failed: %s\n", error.c_str());
    return tls_ != nullptr;
  }

  bool Send(std::string_view text) {
    if (tls_) return tls_->Send(text.data(), static_cast<int>(text.size()));
    while (!text.empty()) {
      const ssize_t n = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  /// Bytes received; 0 or less when the client has gone.
  ssize_t Receive(char* buffer, size_t length) {
    if (tls_) return tls_->Receive(buffer, static_cast<int>(length));
    return ::recv(fd_, buffer, length, 0);
  }

 private:
  int fd_;
  std::unique_ptr<testserver::ServerTls> tls_;
};

/// Where the end-of-data line (CR LF "." CR LF) ends within data, given
/// the two bytes of data before it; npos when it is not there, or not yet
/// (a dot among the last two bytes waits for more). The search goes from dot
/// to dot: encoded lines hold none, so it runs at memchr's pace.
size_t EndOfData(std::string_view before, std::string_view data) {
  for (size_t dot = data.find('.'); dot != std::string_view::npos && dot + 2 < data.size();
       dot = data.find('.', dot + 1)) {
    const char cr = dot >= 2 ? data[dot - 2] : before[dot];
    const char lf = dot >= 1 ? data[dot - 1] : before[1];
    if (cr == '\r' && lf == '\n' && data[dot + 1] == '\r' && data[dot + 2] == '\n') return dot + 3;
  }
  return std::string_view::npos;
}

/// Answers one client as an accepting SMTP server, AUTH included. The data phase looks for
/// the end-of-data line in the raw stream instead of cutting lines, and the
/// bytes are received in place, so the sink never becomes the slower side.
/// starttls: the TLS settings that STARTTLS starts; null where it is not offered.
void ServeClient(Connection& client, const testserver::ServerTlsSettings* starttls) {
  if (!client.Send("220 sink ready\r\n")) return;
  std::vector<char> buffer(1 << 20);
  size_t held = 0;  // received and not yet taken
  const auto take = [&](size_t count) {
    std::memmove(buffer.data(), buffer.data() + count, held - count);
    held -= count;
  };
  bool inData = false;
  char before[2] = {};  // in the data: the two bytes of data before the held ones
  for (;;) {
    const std::string_view view(buffer.data(), held);
    if (inData) {
      const size_t end = EndOfData({before, 2}, view);
      if (end != std::string_view::npos) {
        take(end);
        inData = false;
        if (!client.Send("250 accepted\r\n")) return;
        continue;
      }
      // Everything but the last two bytes has been searched.
      const size_t searched = held - std::min<size_t>(held, 2);
      for (size_t i = searched >= 2 ? searched - 2 : 0; i < searched; ++i) {
        before[0] = before[1];
        before[1] = buffer[i];
      }
      take(searched);
    } else {
      const size_t lineEnd = view.find('\n');
      if (lineEnd != std::string_view::npos) {
        std::string command(view.substr(0, lineEnd));
        take(lineEnd + 1);
        for (char& c : command) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (command.rfind("DATA", 0) == 0) {
          inData = true;
          before[0] = '\r';  // the data may end at once with "."
          before[1] = '\n';
          if (!client.Send("354 go ahead\r\n")) return;
        } else if (command.rfind("EHLO", 0) == 0) {
          // Every login mechanism, each accepted with whatever it sends.
          const char* offer = starttls ? "250-STARTTLS\r\n" : "";
          if (!client.Send(std::string("250-sink\r\n250-PIPELINING\r\n") + offer +
                           "250 AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER\r\n")) {
            return;
          }
        } else if (starttls && command.rfind("STARTTLS", 0) == 0) {
          // Nothing may follow STARTTLS in clear.
          if (held != 0 || !client.Send("220 go ahead\r\n") || !client.StartTls(*starttls)) return;
          starttls = nullptr;
        } else if (command.rfind("QUIT", 0) == 0) {
          client.Send("221 bye\r\n");
          return;
        } else if (!client.Send("250 ok\r\n")) {
          return;
        }
        continue;
      }
      if (held == buffer.size()) return;  // a command line longer than the buffer: not a client of ours
    }
    const ssize_t n = client.Receive(buffer.data() + held, buffer.size() - held);
    if (n <= 0) return;
    held += static_cast<size_t>(n);
  }
}

/// tls: the certificate and key of TLS from the first byte, or with
/// starttls after STARTTLS; empty files: plain text.
int Sink(int connections, const testserver::ServerTlsSettings& tls, bool starttls) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("sink");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (int i = 0; i < connections; ++i) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) break;
    {
      Connection client(fd);
      if (starttls) {
        ServeClient(client, &tls);
      } else if (tls.certificateFile.empty() || client.StartTls(tls)) {
        ServeClient(client, nullptr);
      }
    }
    ::close(fd);
  }
  ::close(listener);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--sink") return Sink(std::atoi(argv[2]), {}, false);
  if (argc == 6 && std::string_view(argv[1]) == "--sink" &&
      (std::string_view(argv[3]) == "--tls" || std::string_view(argv[3]) == "--starttls")) {
    return Sink(std::atoi(argv[2]), {argv[4], argv[5]}, std::string_view(argv[3]) == "--starttls");
  }
  if (argc == 4 && std::string_view(argv[1]) == "--send") return Send(argv[2], std::atoi(argv[3]));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
