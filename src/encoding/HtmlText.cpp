#include "encoding/HtmlText.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/AsciiCase.h"

namespace html_text {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\f";

/// Lists nested deeper than this many levels are indented no further.
constexpr std::size_t kDeepestIndent = 6;
/// The bytes of the longest character reference read, "&" and ";"
/// included ("&#1114111;" is 10).
constexpr std::size_t kLongestReference = 11;

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
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t ampersand = std::min(text.find('&', i), text.size());
    out.append(text.substr(i, ampersand - i));
    i = ampersand;
    if (i == text.size()) break;
    // A reference ends within a few bytes: never look further for its ";".
    const std::size_t semicolon = text.substr(i, kLongestReference).find(';');
    if (semicolon == std::string_view::npos) {
      out += text[i];
      continue;
    }
    const std::string_view name = text.substr(i + 1, semicolon - 1);
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
    i += semicolon;
  }
  return out;
}

/// True when text is name (given in lower case) in any case.
bool IsNamed(std::string_view text, std::string_view name) {
  return text.size() == name.size() &&
         std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) { return AsciiLower(a) == b; });
}

/// True when text at "at" holds name (given in lower case) in any case,
/// followed by what ends a tag's name (a blank, "/", ">" or the end).
bool NameAt(std::string_view text, std::size_t at, std::string_view name) {
  if (at > text.size() || !IsNamed(text.substr(at, name.size()), name)) return false;
  const std::size_t after = at + name.size();
  return after == text.size() || IsBlank(text[after]) || text[after] == '/' || text[after] == '>';
}

/// An attribute's value as written: where it stands in the document (its
/// quotes included) and its text between them.
struct AttributeValue {
  std::size_t start = 0, end = 0;
  std::string_view text;
};

/// One tag: its lower-case name ("/p" for an end tag), and the first href
/// and src attributes, as a reader takes them.
struct Tag {
  std::string name;
  std::size_t end = 0;  // just past the ">", or the end of the document
  std::optional<AttributeValue> href, src;
};

/// Reads into tag the tag that starts with the "<" at html[at], and no
/// further than its ">" (a tag that the document leaves open takes the
/// rest of it).
void ReadTag(std::string_view html, std::size_t at, Tag& tag) {
  std::size_t i = at + 1;
  const std::size_t nameEnd = std::min(html.find_first_of(" \t\r\n\f/>", i + 1), html.size());
  tag.name.assign(html.substr(i, nameEnd - i));
  for (char& c : tag.name) c = AsciiLower(c);
  tag.href.reset();
  tag.src.reset();
  i = nameEnd;
  while (i < html.size() && html[i] != '>') {
    if (IsBlank(html[i]) || html[i] == '/') {
      ++i;
      continue;
    }
    const std::size_t nameStart = i;
    i = std::min(html.find_first_of(" \t\r\n\f/>=", i + 1), html.size());
    const std::string_view attribute = html.substr(nameStart, i - nameStart);
    while (i < html.size() && IsBlank(html[i])) ++i;
    AttributeValue value{i, i, {}};
    if (i < html.size() && html[i] == '=') {
      ++i;
      while (i < html.size() && IsBlank(html[i])) ++i;
      value.start = i;
      if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
        const std::size_t close = std::min(html.find(html[i], i + 1), html.size());
        value.text = html.substr(i + 1, close - i - 1);
        i = std::min(close + 1, html.size());
      } else {
        i = std::min(html.find_first_of(" \t\r\n\f>", i), html.size());
        value.text = html.substr(value.start, i - value.start);
      }
      value.end = i;
    }
    // Only the first of the same name counts.
    for (auto [wanted, found] : {std::pair{"href", &tag.href}, std::pair{"src", &tag.src}}) {
      if (!*found && IsNamed(attribute, wanted)) *found = value;
    }
  }
  tag.end = std::min(i + 1, html.size());
}

/// The row of rows (sorted by name) for name; nullptr when there is none.
/// The order of the tables of names: by length, then alphabetically, so
/// that most comparisons end at the length.
constexpr bool ShorterOrBefore(std::string_view a, std::string_view b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

/// The row of rows (in the order above) for name; nullptr when there is none.
template <typename Row, std::size_t N>
const Row* RowOf(const Row (&rows)[N], std::string_view name) {
  const Row* row = std::lower_bound(std::begin(rows), std::end(rows), name,
                                    [](const Row& r, std::string_view n) { return ShorterOrBefore(r.name, n); });
  return row != std::end(rows) && row->name == name ? row : nullptr;
}

template <typename Row, std::size_t N>
constexpr bool InNameOrder(const Row (&rows)[N]) {
  return std::is_sorted(std::begin(rows), std::end(rows),
                        [](const Row& a, const Row& b) { return ShorterOrBefore(a.name, b.name); });
}

/// An element whose content is no markup: the content runs to its end tag
/// whatever it holds ("<img" in a script's string is no image).
struct RawElement {
  std::string_view name;
  bool shown;  // a reader sees the content as text
};
constexpr RawElement kRawElements[] = {
    {"xmp", true},       {"style", false},   {"title", false},    {"iframe", false},   {"script", false},
    {"noembed", false},  {"noframes", false}, {"template", false}, {"textarea", true},
};
static_assert(InNameOrder(kRawElements));

/// Where the end tag of the raw element name starts, at from or after it;
/// the end of html when there is none. Templates nest.
std::size_t EndTagOf(std::string_view html, std::size_t from, std::string_view name) {
  const bool nests = name == "template";
  int depth = 0;
  for (std::size_t at = html.find('<', from); at != std::string_view::npos; at = html.find('<', at + 1)) {
    const bool closing = at + 1 < html.size() && html[at + 1] == '/';
    if (!NameAt(html, at + (closing ? 2 : 1), name) || (!closing && !nests)) continue;
    if (!closing) {
      ++depth;
    } else if (depth-- == 0) {
      return at;
    }
  }
  return html.size();
}

/// What the scanner met.
struct Token {
  enum Kind { kText, kHiddenText, kTag };
  Kind kind = kText;
  std::string_view text;  // kText, kHiddenText: as written, references not decoded
  Tag tag;                // kTag
};

/// Reads an HTML document front to back as a reader's parser does, in
/// time that grows with its size alone: text, tags, and the content of a raw
/// element as one piece of text. Comments, "<!...>" and "<?...>" are passed
/// over; a "<" that starts none of these is text, and nothing is searched
/// twice.
class Scanner {
 public:
  explicit Scanner(std::string_view html) : html_(html) {}

  /// Fills token with what comes next; false at the end of the document.
  bool Next(Token& token) {
    while (at_ < html_.size()) {
      if (raw_) {
        const std::size_t end = EndTagOf(html_, at_, raw_->name);
        token.kind = raw_->shown ? Token::kText : Token::kHiddenText;
        token.text = html_.substr(at_, end - at_);
        raw_ = nullptr;
        at_ = end;
        return true;
      }
      const std::size_t markup = MarkupFrom(at_);
      if (markup > at_) {
        token.kind = Token::kText;
        token.text = html_.substr(at_, markup - at_);
        at_ = markup;
        return true;
      }
      if (ReadMarkup(token)) return true;
    }
    return false;
  }

 private:
  /// Where the next "<" that starts markup stands; the end of html when
  /// none does.
  std::size_t MarkupFrom(std::size_t from) const {
    std::size_t at = html_.find('<', from);
    while (at != std::string_view::npos && at + 1 < html_.size()) {
      const char next = html_[at + 1];
      if (IsAsciiLetter(next) || next == '/' || next == '!' || next == '?') return at;
      at = next == '<' ? at + 1 : html_.find('<', at + 2);
    }
    return html_.size();
  }

  /// Passes over the markup at at_; true when it is a tag, which fills token.
  bool ReadMarkup(Token& token) {
    const char next = html_[at_ + 1];
    if (html_.compare(at_, 4, "<!--") == 0) {
      at_ = PastComment(at_ + 2);
      return false;
    }
    const bool endTag = next == '/';
    if (IsAsciiLetter(next) || (endTag && at_ + 2 < html_.size() && IsAsciiLetter(html_[at_ + 2]))) {
      token.kind = Token::kTag;
      ReadTag(html_, at_, token.tag);
      at_ = token.tag.end;
      if (!endTag) raw_ = RowOf(kRawElements, token.tag.name);
      return true;
    }
    // "</>" is nothing; "<!...>", "<?...>" and "</" before anything else a
    // comment to the next ">".
    at_ = std::min(html_.find('>', at_ + 1), html_.size() - 1) + 1;
    return false;
  }

  /// Just past the "-->" (or "--!>") that ends the comment whose text
  /// starts at "from" ("<!-->" is a whole comment); the end of html when
  /// none does.
  std::size_t PastComment(std::size_t from) const {
    for (std::size_t at = html_.find("--", from); at != std::string_view::npos; at = html_.find("--", at + 1)) {
      if (html_.compare(at + 2, 1, ">") == 0) return at + 3;
      if (html_.compare(at + 2, 2, "!>") == 0) return at + 4;
    }
    return html_.size();
  }

  static bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

  std::string_view html_;
  std::size_t at_ = 0;
  const RawElement* raw_ = nullptr;  // whose content comes next
};

/// True when text holds more than count characters of UTF-8; looks at no
/// more of it than that takes.
bool LongerThan(std::string_view text, std::size_t count) {
  std::size_t counted = 0;
  for (const char c : text) {
    if ((c & 0xC0) != 0x80 && ++counted > count) return true;
  }
  return false;
}

/// line cut at blanks into lines of at most kTextWidth characters; a word
/// longer than that stands on a line of its own. Each cut looks at the
/// next line's worth of text only.
void AddWrapped(std::vector<std::string>& lines, std::string_view line) {
  while (LongerThan(line, kTextWidth)) {
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
    const auto separates = [preformatted](char c) { return preformatted ? c == '\n' : IsBlank(c); };
    for (std::size_t i = 0; i < text.size();) {
      if (!separates(text[i])) {
        const std::size_t start = i;
        while (i < text.size() && !separates(text[i])) ++i;
        Word(text.substr(start, i - start));
      } else if (preformatted) {
        Break(1);
        forced_ = true;
        ++i;
      } else {
        space_ = true;
        ++i;
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

/// What an element does to the text.
enum class Role {
  kLine,       // starts a line
  kParagraph,  // leaves a blank line
  kLineBreak,  // <br>
  kList,
  kItem,
  kPre,
  kCell,  // a blank between cells
  kLink,
  kHead,  // stands in a document's head
};

struct ElementRole {
  std::string_view name;
  Role role;
};
constexpr ElementRole kElementRoles[] = {
    {"a", Role::kLink},           {"p", Role::kParagraph},      {"br", Role::kLineBreak},
    {"dd", Role::kLine},          {"dl", Role::kParagraph},     {"dt", Role::kLine},
    {"h1", Role::kParagraph},     {"h2", Role::kParagraph},     {"h3", Role::kParagraph},
    {"h4", Role::kParagraph},     {"h5", Role::kParagraph},     {"h6", Role::kParagraph},
    {"hr", Role::kParagraph},     {"li", Role::kItem},          {"ol", Role::kList},
    {"td", Role::kCell},          {"th", Role::kCell},          {"tr", Role::kLine},
    {"ul", Role::kList},          {"div", Role::kLine},         {"nav", Role::kLine},
    {"pre", Role::kPre},          {"base", Role::kHead},        {"form", Role::kLine},
    {"link", Role::kHead},        {"main", Role::kLine},        {"meta", Role::kHead},
    {"aside", Role::kLine},       {"style", Role::kHead},       {"table", Role::kParagraph},
    {"title", Role::kHead},       {"center", Role::kLine},      {"figure", Role::kLine},
    {"footer", Role::kLine},      {"header", Role::kLine},      {"script", Role::kHead},
    {"address", Role::kLine},     {"article", Role::kLine},     {"bgsound", Role::kHead},
    {"caption", Role::kLine},     {"section", Role::kLine},     {"basefont", Role::kHead},
    {"noscript", Role::kHead},    {"template", Role::kHead},    {"blockquote", Role::kParagraph},
    {"figcaption", Role::kLine},
};
static_assert(InNameOrder(kElementRoles));

/// Ends a link: its address after its text, unless the text tells it or
/// it leads nowhere a reader can follow.
void EndLink(TextBuilder& text, std::optional<std::string>& href) {
  const std::string shown = text.EndLink();
  const bool tellsUrl =
      href && !href->empty() && href->front() != '#' && AsciiLowered(*href).rfind("javascript:", 0) != 0;
  if (tellsUrl && shown != *href && "mailto:" + shown != *href) {
    text.Space();
    text.Word("<" + *href + ">");
  }
  href.reset();
}

}  // namespace

std::vector<std::string> PlainText(std::string_view html) {
  TextBuilder text;
  std::vector<int> lists;  // per open list: 0 for bullets, else the next number
  std::optional<std::string> href;
  int preformatted = 0;
  bool inHead = false;
  Scanner scanner(html);
  Token token;
  while (scanner.Next(token)) {
    if (token.kind == Token::kHiddenText) continue;
    if (token.kind == Token::kText) {
      if (inHead && token.text.find_first_not_of(kBlanks) == std::string_view::npos) continue;
      inHead = false;
      text.Text(Decoded(token.text), preformatted > 0);
      continue;
    }
    const Tag& tag = token.tag;
    const bool end = tag.name.front() == '/';
    const std::string_view name = std::string_view(tag.name).substr(end ? 1 : 0);
    if (name == "head") {
      inHead = !end;
      continue;
    }
    const ElementRole* element = RowOf(kElementRoles, name);
    if (!element) {
      inHead = false;
      continue;
    }
    if (element->role == Role::kHead) continue;
    inHead = false;
    switch (element->role) {
      case Role::kLine:
        text.Break(1);
        break;
      case Role::kParagraph:
        text.Break(2);
        break;
      case Role::kLineBreak:
        text.Break(1);
        break;
      case Role::kList:
        if (end && !lists.empty()) lists.pop_back();
        text.Break(lists.empty() ? 2 : 1);  // a list inside an item starts on the next line
        if (!end) lists.push_back(name == "ol" ? 1 : 0);
        break;
      case Role::kPre:
        text.Break(2);
        preformatted = std::max(0, preformatted + (end ? -1 : 1));
        break;
      case Role::kItem: {
        text.Break(1);
        if (end) break;
        // Deeper lists stand at the deepest indent: the text cannot grow
        // with the square of the nesting.
        const std::size_t depth = std::min(lists.empty() ? 0 : lists.size() - 1, kDeepestIndent);
        const bool numbered = !lists.empty() && lists.back() > 0;
        text.Word(std::string(depth * 2, ' ') + (numbered ? std::to_string(lists.back()++) + "." : "-"));
        text.Space();
        break;
      }
      case Role::kCell:
        text.Space();
        break;
      case Role::kLink:
        if (!end) {
          href.reset();
          if (tag.href) href = Decoded(tag.href->text);
          text.StartLink();
          break;
        }
        EndLink(text, href);
        break;
      case Role::kHead:
        break;
    }
  }
  return text.Lines();
}

std::string WithImageSources(std::string_view html,
                             const std::function<std::optional<std::string>(const std::string&)>& replace) {
  std::string out;
  std::size_t copied = 0;
  Scanner scanner(html);
  Token token;
  while (scanner.Next(token)) {
    if (token.kind != Token::kTag || token.tag.name != "img" || !token.tag.src) continue;
    const AttributeValue& source = *token.tag.src;
    const std::optional<std::string> replacement = replace(Decoded(source.text));
    if (!replacement) continue;
    out.append(html.substr(copied, source.start - copied));
    out += '"' + *replacement + '"';
    copied = source.end;
  }
  out.append(html.substr(copied));
  return out;
}

}  // namespace html_text
