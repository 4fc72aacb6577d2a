// Encoding throughput the way attachments are encoded: an in-memory input
// through TQxUUProcessor into a TS_BufferStream over a fresh scratch memory
// stream. Reports bytes of input per second.

#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "core/Stream.h"
#include "encoding/QxS_Stream.h"
#include "encoding/QxUUE.h"

namespace {

void EncodeAttachmentSized(benchmark::State& state, UUMethods method) {
  const std::int64_t size = state.range(0);
  std::string bytes(static_cast<size_t>(size), '\0');
  std::mt19937 random(1);
  for (char& c : bytes) c = static_cast<char>(random());
  TMemoryStream input;
  input.WriteBuffer(bytes.data(), size);

  TQxUUProcessor encoder(nullptr);
  encoder.Method = method;
  encoder.InputStream = &input;
  for (auto _ : state) {
    TMemoryStream scratch;
    TS_BufferStream buffered(scratch);
    encoder.OutputStream = &buffered;
    encoder.Encode();
    benchmark::DoNotOptimize(scratch.Memory());
  }
  state.SetBytesProcessed(state.iterations() * size);
}

void BM_EncodeMime(benchmark::State& state) { EncodeAttachmentSized(state, uuMime); }
void BM_EncodeUUCode(benchmark::State& state) { EncodeAttachmentSized(state, uuCode); }

}  // namespace

BENCHMARK(BM_EncodeMime)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeUUCode)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
