#pragma once
// Boundaries are random: tests read them from the Content-Type lines of
// what was composed or sent and write them as "<boundary 1>", "<boundary
// 2>", ... in the order they first stand, where the expected text has them.

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace boundaries {

/// The boundaries that text's Content-Type lines name, each once, in order.
inline std::vector<std::string> In(const std::string& text) {
  static const std::regex parameter("boundary=\"([^\"]*)\"");
  std::vector<std::string> found;
  for (auto m = std::sregex_iterator(text.begin(), text.end(), parameter); m != std::sregex_iterator(); ++m) {
    if (std::find(found.begin(), found.end(), (*m)[1]) == found.end()) found.push_back((*m)[1]);
  }
  return found;
}

/// The placeholder of the boundary that stands number-th (from 1).
inline std::string Placeholder(size_t number) { return "<boundary " + std::to_string(number) + ">"; }

/// text with each of drawn written as its placeholder.
inline std::string Numbered(std::string text, const std::vector<std::string>& drawn) {
  for (size_t k = 0; k < drawn.size(); ++k) {
    for (size_t at = text.find(drawn[k]); at != std::string::npos; at = text.find(drawn[k], at)) {
      text.replace(at, drawn[k].size(), Placeholder(k + 1));
    }
  }
  return text;
}

/// text with the boundaries it names written as their placeholders.
inline std::string Numbered(const std::string& text) { return Numbered(text, In(text)); }

}  // namespace boundaries
