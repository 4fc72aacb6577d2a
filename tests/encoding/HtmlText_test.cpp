// The plain text made from an HTML body, and the rewriting of its images.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/Charsets.h"
#include "encoding/HtmlText.h"

namespace {

using Lines = std::vector<std::string>;

TEST(PlainText, ShowsWhatAReaderSees) {
  const struct {
    const char* name;
    std::string html;
    Lines text;
  } cases[] = {
      {"paragraphs apart by a blank line, blanks collapsed", "<p>One\n  two</p><p>Three</p>",
       {"One two", "", "Three"}},
      {"a line break", "a<br>b<BR/>c", {"a", "b", "c"}},
      {"head, script, style and comments left out",
       "<html><head><title>T</title></head><body><style>p{}</style><script>x<y</script>A<!-- <p>B --></body>",
       {"A"}},
      {"items of bullet and numbered lists, nested ones indented",
       "<ul><li>a<ol><li>b</li><li>c</li></ol></li><li>d</li></ul>after",
       {"- a", "  1. b", "  2. c", "- d", "", "after"}},
      {"a link as text and address; the address alone once",
       "<a href=\"https://x.example/r?a=1&amp;b=2\">report</a> <a href=\"https://x.example\">https://x.example</a> "
       "<a href=\"mailto:a@x\">a@x</a> <a href=\"#top\">top</a>",
       {"report <https://x.example/r?a=1&b=2> https://x.example a@x top"}},
      {"references decoded, an unknown one kept",
       "&lt;&amp;&gt; &#1041;&#x416; &euro;&nbsp;5 &bogus; a&shy;b", {"<&> \xD0\x91\xD0\x96 \xE2\x82\xAC 5 &bogus; ab"}},
      {"preformatted text keeps its lines and blanks", "<pre>a  b\n\n c</pre>", {"a  b", "", " c"}},
      {"table cells apart, rows on lines", "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>",
       {"a b", "c"}},
      {"lists nested deeper than six levels stand at the sixth's indent",
       "<ul><li>1<ul><li>2<ul><li>3<ul><li>4<ul><li>5<ul><li>6<ul><li>7<ul><li>8",
       {"- 1", "  - 2", "    - 3", "      - 4", "        - 5", "          - 6", "            - 7", "            - 8"}},
      {"a head left open ends where the body's content starts", "<head><title>T</title><meta a=b>\n<p>Hello",
       {"Hello"}},
      {"a comment ended by --!>, a \"<\" that starts no tag", "a<!-- x --!>b <3 &&&& <= </>c", {"ab <3 &&&& <= c"}},
      {"wrapped at 76 characters, letters outside ASCII counted once",
       std::string(70, 'a') + " \xD0\x91\xD0\x91\xD0\x91\xD0\x91\xD0\x91 " + std::string(80, 'b') + " c",
       {std::string(70, 'a') + " \xD0\x91\xD0\x91\xD0\x91\xD0\x91\xD0\x91", std::string(80, 'b'), "c"}},
  };
  for (const auto& c : cases) EXPECT_EQ(html_text::PlainText(c.html), c.text) << c.name;
}

TEST(WithImageSources, ReplacesTheSourcesItIsGiven) {
  const std::string html =
      "<p><IMG alt='x' SRC=chart.png><img src=\"https://x.example/l.png\"><!-- <img src=\"old.png\"> -->"
      "<img src='a&amp;b.gif' /></p>";
  std::vector<std::string> seen;
  const std::string rewritten = html_text::WithImageSources(html, [&](const std::string& source) {
    seen.push_back(source);
    return source.find(':') == std::string::npos ? std::optional<std::string>("cid:" + source) : std::nullopt;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"chart.png", "https://x.example/l.png", "a&b.gif"}));
  EXPECT_EQ(rewritten,
            "<p><IMG alt='x' SRC=\"cid:chart.png\"><img src=\"https://x.example/l.png\"><!-- <img src=\"old.png\"> -->"
            "<img src=\"cid:a&b.gif\" /></p>");
}

TEST(WithImageSources, OnlyImagesAReaderSees) {
  const struct {
    const char* name;
    std::string html;
    std::vector<std::string> sources;
  } cases[] = {
      {"in a script's string", "<script>var s = \"<img src='a.png'>\";</script><img src=b.png>", {"b.png"}},
      {"in a style, a title, an attribute's value",
       "<style>/* <img src=a.png> */</style><title><img src=b.png></title><a title=\"<img src=c.png>\">x</a>", {}},
      {"in a template, nested ones too",
       "<TEMPLATE><template></template><img src=a.png></Template><img src=b.png>", {"b.png"}},
      {"in a comment left open", "<img src=a.png><!-- <img src=b.png>", {"a.png"}},
      {"the first src counts, its references decoded", "<img src=\"&#46;&#46;/a.png\" SRC=b.png>", {"../a.png"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> seen;
    html_text::WithImageSources(c.html, [&](const std::string& source) {
      seen.push_back(source);
      return std::nullopt;
    });
    EXPECT_EQ(seen, c.sources) << c.name;
  }
}

TEST(Charsets, KnownByTheirUsualSpellings) {
  const struct {
    const char* spelling;
    const char* name;
  } cases[] = {
      {"utf8", "UTF-8"},      {"UTF-8", "UTF-8"},           {"cp1251", "windows-1251"}, {"Windows1251", "windows-1251"},
      {"koi8r", "KOI8-R"},    {"latin1", "ISO-8859-1"},     {"ISO_8859-5", "ISO-8859-5"}, {"cp866", "IBM866"},
      {"shift_jis", "Shift_JIS"},
  };
  for (const auto& c : cases) {
    const std::optional<charsets::TCharset> charset = charsets::Known(c.spelling);
    ASSERT_TRUE(charset) << c.spelling;
    EXPECT_EQ(charset->name, c.name) << c.spelling;
  }
  for (const char* unknown : {"UTF", "windows", "KOI8", "", "utf-7"}) EXPECT_FALSE(charsets::Known(unknown)) << unknown;
}

TEST(Charsets, Utf8IsWellFormedOnly) {
  EXPECT_TRUE(charsets::IsUtf8("ascii \xD0\x91 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  for (const std::string bad : {"\xCE\xF2\xF7", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    EXPECT_FALSE(charsets::IsUtf8(bad)) << bad;
  }
}

}  // namespace
