// HTML to text and the search for images, on any bytes: neither may crash,
// read outside its input or take time or memory out of proportion to it.
// A search that replaces nothing gives the document back as it was, and
// well-formed UTF-8 comes out as well-formed UTF-8 (no line is cut inside a
// character).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/Charsets.h"
#include "encoding/HtmlText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  const bool utf8 = charsets::IsUtf8(html);
  for (const std::string& line : html_text::PlainText(html)) {
    if (utf8 && !charsets::IsUtf8(line)) std::abort();
  }
  const auto none = [](const std::string&) { return std::optional<std::string>(); };
  if (html_text::WithImageSources(html, none) != html) std::abort();
  std::size_t seen = 0;
  html_text::WithImageSources(html, [&seen](const std::string& source) {
    return ++seen % 2 == 1 ? std::optional<std::string>("cid:" + source) : std::nullopt;
  });
  return 0;
}
