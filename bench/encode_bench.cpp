// Encoding throughput the way attachments are encoded: an in-memory input
// through TQxUUProcessor straight into a fresh memory stream reserved for
// the encoded size, as the SMTP client's body stream is. Reports bytes of
// input per second. Also each line encoder alone, on data in the cache; and
// quoted-printable for a body text of long lines, alone and as the SMTP
// client composes it.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "core/Stream.h"
#include "encoding/LineEncoding.h"
#include "encoding/QuotedPrintable.h"
#include "encoding/QxUUE.h"
#include "smtp/Qxsmtp.h"

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

/// Lines of an HTML table as reports write them: 5,000 bytes each, "=" in
/// every cell and now and then a word in UTF-8, so that about one byte in
/// ten needs an escape.
std::vector<std::string> ReportLines(std::int64_t size) {
  static const std::string kCells[] = {"<td class=\"num\">12345.67</td>", "<td class=\"name\">Gr\xC3\xB6\xC3\x9Fe</td>",
                                       "<td align=\"right\">-0.5</td>", "<td class=\"city\">Moscow</td>"};
  std::vector<std::string> lines;
  std::mt19937 random(2);
  for (std::int64_t total = 0; total < size;) {
    std::string line;
    while (line.size() < 5000) line += kCells[random() % 4];
    line.resize(5000);
    total += static_cast<std::int64_t>(line.size()) + 2;
    lines.push_back(std::move(line));
  }
  return lines;
}

/// The quoted-printable line encoder over the whole text into a fresh
/// memory stream, line by line as the SMTP client writes it.
void BM_QuotedPrintable(benchmark::State& state) {
  const std::int64_t size = state.range(0);
  const std::vector<std::string> lines = ReportLines(size);
  for (auto _ : state) {
    TMemoryStream body;
    body.Reserve(size + size / 4);  // as the SMTP client does
    for (const std::string& line : lines) {
      char* room = body.RoomInPlace(static_cast<std::int64_t>(quoted_printable::EncodedLineBound(line.size())));
      body.CommitInPlace(static_cast<std::int64_t>(
          quoted_printable::EncodeLine(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(), room)));
    }
    benchmark::DoNotOptimize(body.Memory());
  }
  state.SetBytesProcessed(state.iterations() * size);
}

/// The SMTP client composing a message of that text: the scan that picks
/// quoted-printable, then the encoding into its body stream.
void BM_ComposeLongLines(benchmark::State& state) {
  const std::int64_t size = state.range(0);
  TQxSMTP smtp(nullptr);
  for (std::string& line : ReportLines(size)) smtp.PostMessage().Body().Add(std::move(line));
  for (auto _ : state) {
    smtp.ComposeMessage();
    benchmark::DoNotOptimize(smtp.BodyStream().DataSize());
  }
  state.SetBytesProcessed(state.iterations() * size);
}

}  // namespace

BENCHMARK(BM_QuotedPrintable)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ComposeLongLines)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeMime)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeUUCode)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LineEncoder)->DenseRange(0, static_cast<int>(line_encoding::AvailableEncoders().size()) - 1);

BENCHMARK_MAIN();
