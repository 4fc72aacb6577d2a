#include "smtp/HeaderFields.h"

#include <algorithm>

#include "encoding/HeaderWords.h"

using header_words::EncodedWords;
using header_words::IsAscii;

namespace header_fields {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kAscii = "US-ASCII";
// The characters that a display name cannot hold outside quotes (RFC 5322
// 3.2.3), the dot among them for readers that take no obsolete phrase.
constexpr std::string_view kSpecials = "()<>[]:;@\\,.\"";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

/// A quoted display name's text: the quotes gone, and the backslash of each
/// quoted pair.
std::string Unquoted(std::string_view name) {
  if (name.size() < 2 || name.front() != '"' || name.back() != '"') return std::string(name);
  std::string text;
  for (std::size_t i = 1; i + 1 < name.size(); ++i) {
    if (name[i] == '\\' && i + 2 < name.size()) ++i;
    text += name[i];
  }
  return text;
}

bool IsUsAscii(std::string_view charset) {
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  return charset.size() == kAscii.size() &&
         std::equal(charset.begin(), charset.end(), kAscii.begin(), [&](char a, char b) { return upper(a) == b; });
}

/// words as pieces for Fold: the first as it is, each other after a blank.
void AddWords(std::vector<std::string>& pieces, std::vector<std::string> words, std::string firstSpace) {
  for (std::size_t k = 0; k < words.size(); ++k) pieces.push_back((k == 0 ? firstSpace : " ") + words[k]);
}

}  // namespace

std::vector<std::string> Pieces(std::string_view text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t wordStart = text.find_first_not_of(kBlanks, start);
    if (wordStart == std::string_view::npos) {  // trailing blanks
      if (pieces.empty()) pieces.emplace_back();
      pieces.back() += text.substr(start);
      break;
    }
    const std::size_t end = std::min(text.find_first_of(kBlanks, wordStart), text.size());
    pieces.emplace_back(text.substr(start, end - start));
    start = end;
  }
  return pieces;
}

std::vector<std::string> Fold(std::string_view prefix, const std::vector<std::string>& pieces) {
  std::vector<std::string> lines;
  std::string line(prefix);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const std::string& piece = pieces[k];
    if (k == 0 || piece.empty() || line.size() + piece.size() <= kFoldWidth) {
      line += piece;
      continue;
    }
    lines.push_back(std::move(line));
    line = IsBlank(piece.front()) ? piece : " " + piece;
  }
  lines.push_back(std::move(line));
  return lines;
}

std::string_view TextCharset(std::string_view charset) {
  if (!header_words::IsCharsetToken(charset) || IsUsAscii(charset)) return header_words::kUnknownCharset;
  return charset;
}

std::string EncodedText(std::string_view text, std::string_view charset) {
  std::string encoded;
  for (const std::string& word : EncodedWords(text, TextCharset(charset))) {
    if (!encoded.empty()) encoded += ' ';
    encoded += word;
  }
  return encoded;
}

std::string EncodedPhrase(std::string_view name, std::string_view charset) {
  return EncodedText(Unquoted(Trimmed(name)), charset);
}

std::string Phrase(std::string_view name, std::string_view charset) {
  const std::string_view trimmed = Trimmed(name);
  if (!IsAscii(trimmed)) return EncodedPhrase(trimmed, charset);
  if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"') return std::string(trimmed);
  if (trimmed.find_first_of(kSpecials) == std::string_view::npos) return std::string(trimmed);
  std::string quoted = "\"";
  for (char c : trimmed) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

std::string WithEncodedDisplayName(const std::string& entry, std::string_view charset) {
  if (const std::size_t bracket = entry.find('<'); bracket != std::string::npos) {
    const std::string_view name = std::string_view(entry).substr(0, bracket);
    if (Trimmed(name).empty() || IsAscii(name)) return entry;
    return EncodedPhrase(name, charset) + " " + entry.substr(bracket);
  }
  const std::size_t colon = entry.find(':');
  if (colon == std::string::npos) return entry;
  // "Name: box" would be an unterminated group; the name goes before the
  // bracketed box instead. Appended piece by piece: MinGW's GCC 12 warns
  // falsely (-Wrestrict) of the same text made with operator+.
  std::string mailbox = "<";
  mailbox += Trimmed(std::string_view(entry).substr(colon + 1));
  mailbox += '>';
  const std::string_view name = std::string_view(entry).substr(0, colon);
  if (Trimmed(name).empty()) return mailbox;
  return Phrase(name, charset) + " " + mailbox;
}

std::vector<std::string> AddressLines(std::string_view prefix, const std::vector<std::string>& entries,
                                      std::string_view charset) {
  std::vector<std::string> labelled;
  labelled.reserve(entries.size());
  std::string line(prefix);
  for (std::size_t k = 0; k < entries.size(); ++k) {
    labelled.push_back(WithEncodedDisplayName(entries[k], charset));
    if (k > 0) line += ',';
    line += labelled.back();
  }
  if (line.size() <= kLongestLine) return {line};
  // An entry that fits a line stays whole; a longer one breaks at its blanks.
  std::vector<std::string> pieces;
  for (std::size_t k = 0; k < labelled.size(); ++k) {
    const std::string comma = k + 1 < labelled.size() ? "," : "";
    if (labelled[k].size() + comma.size() < kFoldWidth) {
      pieces.push_back(labelled[k] + comma);
      continue;
    }
    std::vector<std::string> entryPieces = Pieces(labelled[k]);
    entryPieces.back() += comma;
    pieces.insert(pieces.end(), entryPieces.begin(), entryPieces.end());
  }
  return Fold(prefix, pieces);
}

std::vector<std::string> TextLines(std::string_view prefix, std::string_view text, std::string_view charset) {
  std::vector<std::string> pieces;
  if (!IsAscii(text)) {
    AddWords(pieces, EncodedWords(text, TextCharset(charset), kFoldWidth - prefix.size()), "");
    return Fold(prefix, pieces);
  }
  if (prefix.size() + text.size() <= kLongestLine) return {std::string(prefix) + std::string(text)};
  bool previousEncoded = false;
  for (const std::string& piece : Pieces(text)) {
    if (piece.size() <= kFoldWidth) {
      pieces.push_back(piece);
      previousEncoded = false;
      continue;
    }
    // A word no line can hold. Decoders drop the blanks between two
    // encoded-words, so after another such word the blanks go inside.
    const std::size_t blanks = piece.find_first_not_of(kBlanks);
    const std::string_view word = previousEncoded ? std::string_view(piece) : std::string_view(piece).substr(blanks);
    const std::string space = previousEncoded ? " " : piece.substr(0, blanks);
    const std::size_t width = pieces.empty() ? kFoldWidth - prefix.size() : header_words::kLongestWord;
    AddWords(pieces, EncodedWords(word, kAscii, width), space);
    previousEncoded = true;
  }
  return Fold(prefix, pieces);
}

}  // namespace header_fields
