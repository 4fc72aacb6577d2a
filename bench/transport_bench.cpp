// Transport figures on loopback:
// - ReadLnIdleCpu: a ReadLn whose server answers after 2 seconds; reports
//   the process's CPU time over wall time (target: under 5 %), so a wait
//   that spins shows at once.
// - ConnectLoopback: Connect to a loopback listener, the median of 50; a
//   connect that finishes at once must not wait a fixed sleep (target: under
//   1 ms).
// - SendStreamVsPlainSend: a 256 MB stream through SendStream next to a plain
//   blocking send loop over the same kind of connection, in the same run;
//   reports both rates and their ratio (target: at least 80 %).
// A missed target ends the benchmark with an error.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "core/Stream.h"
#include "net/Tidewire.h"
#include "platform/Messages.h"
#include "support/ScriptedServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace testserver;

constexpr double kMaxIdleCpuPercent = 5.0;
constexpr double kMaxConnectSeconds = 0.001;
constexpr double kMinSendStreamPercent = 80.0;
constexpr std::int64_t kStreamBytes = 256LL * 1024 * 1024;
constexpr int kPlainChunk = 64 * 1024;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

void ConnectTo(TTidewire& wire, std::uint16_t port) {
  wire.Host = "127.0.0.1";
  wire.Port = port;
  wire.Connect();
}

void ReadLnIdleCpu(benchmark::State& state) {
  for (auto _ : state) {
    ScriptedServer server({Wait(2000), Send("220 late\r\n"), Drain()});
    TTidewire wire(nullptr);
    ConnectTo(wire, server.Port());
    const std::clock_t cpuStart = std::clock();
    const Clock::time_point wallStart = Clock::now();
    std::string line;
    wire.ReadLn(line);
    const double wall = Seconds(Clock::now() - wallStart);
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double percent = 100.0 * cpu / wall;
    state.counters["wall_s"] = wall;
    state.counters["cpu_s"] = cpu;
    state.counters["cpu_over_wall_pct"] = percent;
    if (line != "220 late\r\n") state.SkipWithError("wrong line");
    if (percent >= kMaxIdleCpuPercent)
      state.SkipWithError(("ReadLn wait used " + std::to_string(percent) + " % CPU, not under 5 %").c_str());
  }
}
BENCHMARK(ReadLnIdleCpu)->Iterations(1)->Unit(benchmark::kSecond);

void ConnectLoopback(benchmark::State& state) {
  constexpr int kConnects = 50;
  for (auto _ : state) {
    ScriptedServer server({Drain()}, ServerOptions{kConnects, std::chrono::milliseconds(30000)});
    TTidewire wire(nullptr);
    std::vector<double> seconds;
    for (int i = 0; i < kConnects; ++i) {
      const Clock::time_point start = Clock::now();
      ConnectTo(wire, server.Port());
      seconds.push_back(Seconds(Clock::now() - start));
      wire.Disconnect();
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[kConnects / 2];
    state.counters["median_connect_ms"] = median * 1000;
    if (median >= kMaxConnectSeconds)
      state.SkipWithError(("Connect took " + std::to_string(median * 1000) + " ms, not under 1 ms").c_str());
  }
}
BENCHMARK(ConnectLoopback)->Iterations(1)->Unit(benchmark::kMillisecond);

/// Seconds until a draining server has received everything sent by send().
template <typename Send>
double TimeUntilReceived(ScriptedServer& server, Send send) {
  const Clock::time_point start = Clock::now();
  send();
  while (server.ReceivedCount() < kStreamBytes) platform::SleepMilliseconds(1);
  return Seconds(Clock::now() - start);
}

double PlainSendSeconds(const ServerOptions& drain, const std::string& chunk) {
  ScriptedServer server({Drain()}, drain);
  const wire::Socket plain = wire::ConnectLoopback(server.Port());
  const double seconds = TimeUntilReceived(server, [&] {
    for (std::int64_t sent = 0; sent < kStreamBytes;) {
      const int n = wire::Send(plain, chunk.data(), static_cast<int>(chunk.size()));
      if (n <= 0) break;
      sent += n;
    }
  });
  wire::Close(plain);
  return seconds;
}

double SendStreamSeconds(const ServerOptions& drain, TMemoryStream& stream) {
  ScriptedServer server({Drain()}, drain);
  TTidewire sender(nullptr);
  ConnectTo(sender, server.Port());
  const double seconds = TimeUntilReceived(server, [&] { sender.SendStream(stream); });
  sender.Disconnect();
  return seconds;
}

// The machine is shared: each side takes its best of a few alternating rounds.
void SendStreamVsPlainSend(benchmark::State& state) {
  constexpr int kRounds = 5;
  const ServerOptions drain{1, std::chrono::milliseconds(120000), std::chrono::milliseconds(2000), false};
  TMemoryStream stream;
  stream.SetSize(kStreamBytes);
  const std::string chunk(kPlainChunk, 'p');
  for (auto _ : state) {
    double plainSeconds = 1e9;
    double streamSeconds = 1e9;
    for (int round = 0; round < kRounds; ++round) {
      plainSeconds = std::min(plainSeconds, PlainSendSeconds(drain, chunk));
      streamSeconds = std::min(streamSeconds, SendStreamSeconds(drain, stream));
    }
    const double megabytes = static_cast<double>(kStreamBytes) / (1024.0 * 1024.0);
    const double percent = 100.0 * plainSeconds / streamSeconds;
    state.counters["plain_MBps"] = megabytes / plainSeconds;
    state.counters["sendstream_MBps"] = megabytes / streamSeconds;
    state.counters["sendstream_pct_of_plain"] = percent;
    if (percent < kMinSendStreamPercent)
      state.SkipWithError(("SendStream at " + std::to_string(percent) + " % of a plain send loop, below 80 %").c_str());
  }
}
BENCHMARK(SendStreamVsPlainSend)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
