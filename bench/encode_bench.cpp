// Encoding throughput the way attachments are encoded: an in-memory input
// through TQxUUProcessor straight into a fresh memory stream reserved for
// the encoded size, as the SMTP client's body stream is. Reports bytes of
// input per second. Also each line encoder alone, on data in the cache.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "core/Stream.h"
#include "encoding/LineEncoding.h"
#include "encoding/QxUUE.h"

namespace {

std::string RandomBytes(std::int64_t size) {
  std::string bytes(static_cast<size_t>(size), '\0');
  std::mt19937 random(1);
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

void EncodeAttachmentSized(benchmark::State& state, UUMethods method) {
  const std::int64_t size = state.range(0);
  const std::string bytes = RandomBytes(size);
  TMemoryStream input;
  input.WriteBuffer(bytes.data(), size);

  TQxUUProcessor encoder(nullptr);
  encoder.Method = method;
  encoder.InputStream = &input;
  for (auto _ : state) {
    TMemoryStream body;
    body.Reserve((size + 44) / 45 * 63 + 3);
    encoder.OutputStream = &body;
    encoder.Encode();
    benchmark::DoNotOptimize(body.Memory());
  }
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_EncodeMime(benchmark::State& state) { EncodeAttachmentSized(state, uuMime); }
void BM_EncodeUUCode(benchmark::State& state) { EncodeAttachmentSized(state, uuCode); }

/// One run of lines through every line encoder this processor has.
void BM_LineEncoder(benchmark::State& state) {
  const line_encoding::LineEncoder& encoder = line_encoding::AvailableEncoders()[static_cast<size_t>(state.range(0))];
  state.SetLabel(std::string(encoder.name));
  constexpr std::size_t kLines = kEncodeRunLines;
  const std::string bytes = RandomBytes(kLines * line_encoding::kLineBytes);
  std::vector<char> out(kLines * line_encoding::kUUEncodeLineSize);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        encoder.base64(reinterpret_cast<const std::uint8_t*>(bytes.data()), kLines, out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

}  // namespace

BENCHMARK(BM_EncodeMime)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeUUCode)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LineEncoder)->DenseRange(0, static_cast<int>(line_encoding::AvailableEncoders().size()) - 1);

BENCHMARK_MAIN();
