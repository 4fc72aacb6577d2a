// TLS figures on loopback, against the scripted server's TLS side:
// - SendStreamTlsVsPlain: a 64 MB stream through SendStream inside TLS and in
//   plain text, each to a sink that drains it, in the same run; reports both
//   rates and the TLS rate as a share of the plain one.
// - Handshake: connect, TLS handshake with the certificate check, and the
//   greeting read inside TLS; reports the mean of 20 (and of its connect
//   part) and the slowest.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "core/Stream.h"
#include "net/Tidewire.h"
#include "platform/Messages.h"
#include "support/TlsScriptedServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace testserver;

constexpr std::int64_t kStreamBytes = 64LL * 1024 * 1024;
constexpr int kHandshakes = 20;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

void ConnectTo(TTidewire& wire, std::uint16_t port) {
  wire.Host = "127.0.0.1";
  wire.Port = port;
  wire.Connect();
}

platform::TlsSettings Trusting() { return {"localhost", TestCaFile(), false}; }

/// A server that records nothing, presenting the trusted test certificate.
ServerOptions Sink() {
  const std::filesystem::path certificates = std::filesystem::path(TestCaFile()).parent_path();
  ServerOptions options{1, std::chrono::milliseconds(120000), std::chrono::milliseconds(2000), false};
  options.tls.certificateFile = (certificates / CertificateFileName(Certificate::kTrusted)).string();
  options.tls.keyFile = (certificates / kTestKeyFileName).string();
  return options;
}

/// Seconds from the start of SendStream until the sink has every byte.
double SendSeconds(TMemoryStream& stream, bool tls) {
  ScriptedServer server(tls ? std::vector<Step>{StartTls(), Drain()} : std::vector<Step>{Drain()}, Sink());
  TTidewire sender(nullptr);
  ConnectTo(sender, server.Port());
  if (tls) sender.StartTls(Trusting());
  const Clock::time_point start = Clock::now();
  sender.SendStream(stream);
  // Records the socket had no room for yet go out with the next transfer:
  // a peek drives them.
  while (server.ReceivedCount() < kStreamBytes) {
    sender.DataAvailable();
    platform::SleepMilliseconds(1);
  }
  const double seconds = Seconds(Clock::now() - start);
  sender.Disconnect();
  return seconds;
}

// The machine is shared: each side takes its best of a few alternating rounds.
void SendStreamTlsVsPlain(benchmark::State& state) {
  constexpr int kRounds = 3;
  TMemoryStream stream;
  stream.SetSize(kStreamBytes);
  for (auto _ : state) {
    double plainSeconds = 1e9;
    double tlsSeconds = 1e9;
    for (int round = 0; round < kRounds; ++round) {
      plainSeconds = std::min(plainSeconds, SendSeconds(stream, false));
      tlsSeconds = std::min(tlsSeconds, SendSeconds(stream, true));
    }
    const double megabytes = static_cast<double>(kStreamBytes) / (1024.0 * 1024.0);
    state.counters["plain_MBps"] = megabytes / plainSeconds;
    state.counters["tls_MBps"] = megabytes / tlsSeconds;
    state.counters["tls_pct_of_plain"] = 100.0 * plainSeconds / tlsSeconds;
  }
}
BENCHMARK(SendStreamTlsVsPlain)->Iterations(1)->Unit(benchmark::kSecond);

void Handshake(benchmark::State& state) {
  for (auto _ : state) {
    double total = 0;
    double connecting = 0;
    double slowest = 0;
    for (int i = 0; i < kHandshakes; ++i) {
      ScriptedServer server({StartTls(), Send("220 ready\r\n"), Drain()}, Sink());
      TTidewire wire(nullptr);
      const Clock::time_point start = Clock::now();
      ConnectTo(wire, server.Port());
      const Clock::time_point connected = Clock::now();
      wire.StartTls(Trusting());
      std::string line;
      wire.ReadLn(line);
      const double seconds = Seconds(Clock::now() - start);
      if (line != "220 ready\r\n") state.SkipWithError("no greeting inside TLS");
      total += seconds;
      connecting += Seconds(connected - start);
      slowest = std::max(slowest, seconds);
      wire.Disconnect();
    }
    state.counters["mean_ms"] = 1000.0 * total / kHandshakes;
    state.counters["connect_part_ms"] = 1000.0 * connecting / kHandshakes;
    state.counters["slowest_ms"] = 1000.0 * slowest;
  }
}
BENCHMARK(Handshake)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
