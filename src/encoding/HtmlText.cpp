#include "encoding/HtmlText.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "core/AsciiCase.h"

namespace html_text {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\f";

bool IsBlank(char c) { return kBlanks.find(c) != std::string_view::npos; }

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

struct NamedReference {
  std::string_view name;
  std::uint32_t code;
};
// The references that reports and newsletters use.
constexpr NamedReference kNamedReferences[] = {
    {"amp", '&'},      {"lt", '<'},       {"gt", '>'},       {"quot", '"'},     {"apos", '\''},
    {"nbsp", ' '},     {"copy", 0xA9},    {"reg", 0xAE},     {"trade", 0x2122}, {"hellip", 0x2026},
    {"mdash", 0x2014}, {"ndash", 0x2013}, {"laquo", 0xAB},   {"raquo", 0xBB},   {"lsquo", 0x2018},
    {"rsquo", 0x2019}, {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bdquo", 0x201E}, {"bull", 0x2022},
    {"middot", 0xB7},  {"euro", 0x20AC},  {"pound", 0xA3},   {"yen", 0xA5},     {"cent", 0xA2},
    {"sect", 0xA7},    {"deg", 0xB0},     {"plusmn", 0xB1},  {"times", 0xD7},   {"divide", 0xF7},
    {"para", 0xB6},    {"shy", 0xAD},     {"numero", 0x2116}, {"larr", 0x2190}, {"rarr", 0x2192},
};

/// text with its character references ("&amp;", "&#1041;", "&#x416;")
/// decoded; one that is not known stays as written.
std::string Decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t semicolon = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
    if (semicolon == std::string_view::npos || semicolon - i > 10) {
      out += text[i];
      continue;
    }
    const std::string_view name = text.substr(i + 1, semicolon - i - 1);
    std::optional<std::uint32_t> code;
    if (name.size() > 1 && name[0] == '#') {
      const bool hex = AsciiLower(name[1]) == 'x';
      std::uint32_t value = 0;
      const std::string_view digits = name.substr(hex ? 2 : 1);
      bool valid = !digits.empty();
      for (char c : digits) {
        const char l = AsciiLower(c);
        const int digit = l >= '0' && l <= '9' ? l - '0' : hex && l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
        valid = valid && digit >= 0;
        value = std::min<std::uint32_t>(value * (hex ? 16 : 10) + static_cast<std::uint32_t>(std::max(digit, 0)),
                                        0x110000);
      }
      if (valid) code = value;
    } else {
      for (const NamedReference& reference : kNamedReferences) {
        if (reference.name == name) code = reference.code;
      }
    }
    if (!code) {
      out += text[i];
      continue;
    }
    if (*code != 0xAD) AppendUtf8(out, *code);
    i = semicolon;
  }
  return out;
}

/// One tag: its lower-case name ("/p" for an end tag) and attributes.
struct Tag {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // name (lower case), value as written
  std::vector<std::pair<std::size_t, std::size_t>> valueSpans;   // where each value stands in the document
  std::size_t end = 0;                                           // just past the ">"

  std::optional<std::string> Attribute(std::string_view wanted) const {
    for (const auto& [name, value] : attributes) {
      if (name == wanted) return Decoded(value);
    }
    return std::nullopt;
  }
};

/// The tag that starts with the "<" at html[at].
Tag ReadTag(std::string_view html, std::size_t at) {
  Tag tag;
  std::size_t i = at + 1;
  const std::size_t nameEnd = std::min(html.find_first_of(" \t\r\n\f/>", i + 1), html.size());
  tag.name = AsciiLowered(html.substr(i, nameEnd - i));
  i = nameEnd;
  while (i < html.size() && html[i] != '>') {
    if (IsBlank(html[i]) || html[i] == '/') {
      ++i;
      continue;
    }
    const std::size_t attributeEnd = std::min(html.find_first_of(" \t\r\n\f/>=", i), html.size());
    std::string attribute = AsciiLowered(html.substr(i, attributeEnd - i));
    i = attributeEnd;
    while (i < html.size() && IsBlank(html[i])) ++i;
    std::size_t valueStart = i, valueEnd = i;
    if (i < html.size() && html[i] == '=') {
      ++i;
      while (i < html.size() && IsBlank(html[i])) ++i;
      if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
        const std::size_t close = std::min(html.find(html[i], i + 1), html.size());
        valueStart = i;
        valueEnd = std::min(close + 1, html.size());
        i = valueEnd;
      } else {
        valueStart = i;
        i = valueEnd = std::min(html.find_first_of(" \t\r\n\f>", i), html.size());
      }
    }
    std::string_view value = html.substr(valueStart, valueEnd - valueStart);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) value = value.substr(1, value.size() - 2);
    tag.attributes.emplace_back(std::move(attribute), std::string(value));
    tag.valueSpans.emplace_back(valueStart, valueEnd);
  }
  tag.end = std::min(i + 1, html.size());
  return tag;
}

/// Where the element whose content is not text (script, style, head) ends:
/// past its end tag, or the end of html.
std::size_t PastEndTag(std::string_view html, std::size_t from, const std::string& name) {
  const std::string lowered = AsciiLowered(html.substr(from));
  const std::size_t found = lowered.find("</" + name);
  if (found == std::string::npos) return html.size();
  return std::min(html.find('>', from + found), html.size() - 1) + 1;
}

std::size_t Characters(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

/// line cut at blanks into lines of at most kTextWidth characters; a word
/// longer than that stands on a line of its own.
void AddWrapped(std::vector<std::string>& lines, std::string_view line) {
  while (Characters(line) > kTextWidth) {
    std::size_t cut = std::string_view::npos, counted = 0;
    for (std::size_t i = 0; i < line.size() && counted <= kTextWidth; ++i) {
      if ((line[i] & 0xC0) != 0x80) ++counted;
      if (line[i] == ' ' && counted <= kTextWidth + 1) cut = i;
    }
    if (cut == std::string_view::npos || cut == 0) cut = line.find(' ', 1);
    if (cut == std::string_view::npos) break;
    lines.emplace_back(line.substr(0, cut));
    line = line.substr(cut + 1);
  }
  lines.emplace_back(line);
}

/// Collects text as a reader sees it: runs of blanks as one, line breaks
/// where the markup puts them, never more than one blank line.
class TextBuilder {
 public:
  void Text(std::string_view text, bool preformatted) {
    for (char c : text) {
      if (preformatted && c == '\n') {
        Break(1);
        forced_ = true;
      } else if (!preformatted && IsBlank(c)) {
        space_ = true;
      } else {
        Word(std::string_view(&c, 1));
      }
    }
  }
  /// Text that stands as it is, after a blank when one went before.
  void Word(std::string_view word) {
    if (breaks_ > 0) FlushBreaks();
    if (space_ && !line_.empty() && line_.back() != ' ') line_ += ' ';
    space_ = false;
    line_ += word;
    if (link_) linkText_ += word;
  }
  void Space() { space_ = true; }
  /// Ends the line; count 2 leaves a blank line after it.
  void Break(int count) {
    if (forced_) {  // a line break inside "<pre>" ends an empty line too
      forced_ = false;
      FlushBreaks();
    }
    breaks_ = std::max(breaks_, count);
    space_ = false;
  }
  void StartLink() {
    link_ = true;
    linkText_.clear();
  }
  /// Ends a link: its text so far, as the reader saw it.
  std::string EndLink() {
    link_ = false;
    return linkText_;
  }
  std::vector<std::string> Lines() {
    if (!line_.empty()) AddWrapped(lines_, line_);
    while (!lines_.empty() && lines_.back().empty()) lines_.pop_back();
    return std::move(lines_);
  }

 private:
  void FlushBreaks() {
    if (!line_.empty() || !lines_.empty()) {
      while (!line_.empty() && line_.back() == ' ') line_.pop_back();
      AddWrapped(lines_, line_);
      for (int k = 1; k < breaks_; ++k) lines_.emplace_back();
    }
    line_.clear();
    breaks_ = 0;
  }

  std::vector<std::string> lines_;
  std::string line_;
  int breaks_ = 0;
  bool space_ = false, forced_ = false, link_ = false;
  std::string linkText_;
};

bool IsOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::vector<std::string> PlainText(std::string_view html) {
  TextBuilder text;
  std::vector<int> lists;  // per open list: 0 for bullets, else the next number
  std::optional<std::string> href;
  int preformatted = 0;
  std::size_t i = 0;
  while (i < html.size()) {
    const std::size_t open = std::min(html.find('<', i), html.size());
    text.Text(Decoded(html.substr(i, open - i)), preformatted > 0);
    if (open == html.size()) break;
    if (html.compare(open, 4, "<!--") == 0) {
      const std::size_t close = html.find("-->", open + 4);
      i = close == std::string_view::npos ? html.size() : close + 3;
      continue;
    }
    const bool isTag = open + 1 < html.size() && (std::isalpha(static_cast<unsigned char>(html[open + 1])) ||
                                                  html[open + 1] == '/' || html[open + 1] == '!');
    if (!isTag) {
      text.Word("<");
      i = open + 1;
      continue;
    }
    const Tag tag = ReadTag(html, open);
    i = tag.end;
    const bool end = tag.name.front() == '/';
    const std::string_view name = std::string_view(tag.name).substr(end ? 1 : 0);
    if (!end && IsOneOf(name, {"script", "style", "head", "title", "template"})) {
      i = PastEndTag(html, i, std::string(name));
    } else if (name == "br") {
      text.Break(1);
    } else if (IsOneOf(name, {"p", "h1", "h2", "h3", "h4", "h5", "h6", "table", "blockquote", "hr", "dl"})) {
      text.Break(2);
    } else if (IsOneOf(name, {"ul", "ol"})) {
      if (end && !lists.empty()) lists.pop_back();
      text.Break(lists.empty() ? 2 : 1);  // a list inside an item starts on the next line
      if (!end) lists.push_back(name == "ol" ? 1 : 0);
    } else if (name == "pre") {
      text.Break(2);
      preformatted = std::max(0, preformatted + (end ? -1 : 1));
    } else if (name == "li" && !end) {
      text.Break(1);
      const std::string indent((lists.empty() ? 0 : lists.size() - 1) * 2, ' ');
      const bool numbered = !lists.empty() && lists.back() > 0;
      text.Word(indent + (numbered ? std::to_string(lists.back()++) + "." : "-"));
      text.Space();
    } else if (IsOneOf(name, {"div", "tr", "li", "dt", "dd", "section", "article", "header", "footer", "nav",
                              "main", "aside", "address", "figure", "figcaption", "form", "center", "caption"})) {
      text.Break(1);
    } else if (IsOneOf(name, {"td", "th"})) {
      text.Space();
    } else if (name == "a" && !end) {
      href = tag.Attribute("href");
      text.StartLink();
    } else if (name == "a" && end) {
      const std::string shown = text.EndLink();
      const bool tellsUrl =
          href && !href->empty() && href->front() != '#' && AsciiLowered(*href).rfind("javascript:", 0) != 0;
      if (tellsUrl && shown != *href && "mailto:" + shown != *href) {
        text.Space();
        text.Word("<" + *href + ">");
      }
      href.reset();
    }
  }
  return text.Lines();
}

std::string WithImageSources(std::string_view html,
                             const std::function<std::optional<std::string>(const std::string&)>& replace) {
  std::string out;
  std::size_t copied = 0;
  for (std::size_t at = html.find('<'); at != std::string_view::npos; at = html.find('<', at + 1)) {
    if (html.compare(at, 4, "<!--") == 0) {
      at = html.find("-->", at);
      if (at == std::string_view::npos) break;
      continue;
    }
    const Tag tag = ReadTag(html, at);
    if (tag.name != "img") continue;
    for (std::size_t k = 0; k < tag.attributes.size(); ++k) {
      if (tag.attributes[k].first != "src") continue;
      const std::optional<std::string> replacement = replace(Decoded(tag.attributes[k].second));
      if (!replacement) break;
      out.append(html.substr(copied, tag.valueSpans[k].first - copied));
      out += '"' + *replacement + '"';
      copied = tag.valueSpans[k].second;
      break;
    }
  }
  out.append(html.substr(copied));
  return out;
}

}  // namespace html_text
