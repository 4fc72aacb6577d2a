#pragma once
// Header fields that every server takes and every client reads: lines that
// would pass 998 octets folded to 78, and text outside ASCII (subjects,
// display names) as encoded-words labelled with its charset. A field that
// is already within the rules keeps its bytes.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace header_fields {

/// The longest line RFC 5322 allows, line end not counted.
inline constexpr std::size_t kLongestLine = 998;
/// The width folded lines keep to where a place to break allows.
inline constexpr std::size_t kFoldWidth = 78;

/// text cut before each run of blanks, the blanks going with the word after
/// them (trailing blanks with the last word): joined, the pieces give text.
std::vector<std::string> Pieces(std::string_view text);

/// The physical lines of a field that starts with prefix ("To: ") and goes
/// on with pieces. A line break may go before any piece but the first; a
/// piece that begins with a blank keeps it as the folding white space,
/// another gets one blank in front. Each line takes pieces while it stays
/// within kFoldWidth (a piece longer than that stands on a line of its own).
std::vector<std::string> Fold(std::string_view prefix, const std::vector<std::string>& pieces);

/// The label for header text in charset: charset itself, or
/// header_words::kUnknownCharset when it cannot label 8-bit text (empty,
/// no RFC 2047 token, or US-ASCII).
std::string_view TextCharset(std::string_view charset);

/// text as encoded-words in TextCharset(charset), joined by blanks.
std::string EncodedText(std::string_view text, std::string_view charset);

/// A display name as encoded-words in charset, joined by blanks; name is
/// taken without surrounding blanks and double quotes.
std::string EncodedPhrase(std::string_view name, std::string_view charset);

/// A display name as a phrase: without surrounding blanks; outside ASCII
/// as encoded-words in charset; in double quotes when it holds a special
/// such as "," or "." and is not quoted already.
std::string Phrase(std::string_view name, std::string_view charset);

/// A recipient entry ("Name <box>", "Name: box", "box") as an address: a
/// display name with a byte above 127 as encoded-words, "Name: box" as
/// "Name <box>" (": box" as "<box>"); any other entry unchanged (a mailbox
/// itself outside ASCII cannot be labelled).
std::string WithEncodedDisplayName(const std::string& entry, std::string_view charset);

/// The lines of an address field: prefix and the entries joined by ",",
/// display names outside ASCII encoded in charset. One line when it stays
/// within kLongestLine; else folded at the commas and, inside an entry too
/// long for a line, at its blanks.
std::vector<std::string> AddressLines(std::string_view prefix, const std::vector<std::string>& entries,
                                      std::string_view charset);

/// The lines of an unstructured field such as the subject. ASCII text
/// within kLongestLine: one line, unchanged. Longer ASCII text: folded
/// between words, a word too long for a line as US-ASCII encoded-words.
/// Text with a byte above 127: encoded-words in charset, folded.
std::vector<std::string> TextLines(std::string_view prefix, std::string_view text, std::string_view charset);

}  // namespace header_fields
