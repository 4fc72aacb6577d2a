#pragma once
// HTML for the text/plain alternative of an HTML message: what a reader
// would see, as plain text, and the images the document names by file.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace html_text {

/// Width of the text's lines, in characters.
inline constexpr std::size_t kTextWidth = 76;

/// The text of html (UTF-8) as lines of UTF-8: paragraphs, headings, lists
/// and tables apart by line breaks and blank lines, "<br>" a line break, a
/// list item after "- " (or its number; lists nested deeper than six levels
/// indented as the sixth), a link as "text <url>" (the url alone when it is
/// the text), character references decoded, script, style, templates and
/// the head left out, blanks collapsed outside "<pre>", lines wrapped at
/// kTextWidth where a blank allows. Time and memory grow with html's size
/// alone, whatever its markup.
std::vector<std::string> PlainText(std::string_view html);

/// html with the src value of every <img> element that a reader shows for
/// which replace gives a text replaced by that text (written in double
/// quotes); replace sees each value with its character references decoded.
/// An "<img" inside a comment, an attribute's value, or a script, style,
/// template, title or other element whose content is no markup is none.
std::string WithImageSources(std::string_view html,
                             const std::function<std::optional<std::string>(const std::string&)>& replace);

}  // namespace html_text
