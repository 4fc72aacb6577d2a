// HTML to text and the search for images on hostile HTML, as an HTML body
// goes through both before any connection: lists left open level after
// level, runs of "<" that start no tag, and many style blocks before the
// text. The goal is well under a second for each shape at 10 MB; the time
// must grow with the size, not with its square.

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "encoding/HtmlText.h"

namespace {

/// html of shape at about size bytes.
std::string Hostile(int shape, std::size_t size) {
  std::string html;
  html.reserve(size + 64);
  switch (shape) {
    case 0:  // nested lists, never closed
      while (html.size() < size) html += "<ul><li>x";
      break;
    case 1:  // "<" that start no tag
      html.assign(size, '<');
      break;
    default: {  // 10,000 style blocks, then text in paragraphs
      for (int i = 0; i < 10000; ++i) html += "<style>p { margin: 0 }</style>";
      const std::string paragraph = "<p>" + std::string(60, 'w') + " and some more words of the report.</p>\n";
      while (html.size() < size) html += paragraph;
    }
  }
  return html;
}

constexpr const char* kShapeNames[] = {"nested unclosed lists", "runs of <", "style blocks before text"};

void BM_PlainText(benchmark::State& state) {
  const std::string html = Hostile(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  state.SetLabel(kShapeNames[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(html_text::PlainText(html));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}

void BM_WithImageSources(benchmark::State& state) {
  const std::string html = Hostile(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  state.SetLabel(kShapeNames[state.range(0)]);
  const auto keep = [](const std::string&) { return std::optional<std::string>(); };
  for (auto _ : state) benchmark::DoNotOptimize(html_text::WithImageSources(html, keep));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}

// 1 MB beside 10 MB shows that the time grows with the size alone.
void Shapes(benchmark::internal::Benchmark* b) {
  for (int shape = 0; shape < 3; ++shape) {
    for (const std::int64_t size : {1 << 20, 10 << 20}) b->Args({shape, size});
  }
  b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_PlainText)->Apply(Shapes);
BENCHMARK(BM_WithImageSources)->Apply(Shapes);

BENCHMARK_MAIN();
