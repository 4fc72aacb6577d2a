#pragma once
// Text outside ASCII in mail header fields: RFC 2047 encoded-words for
// unstructured text and phrases (subjects, display names, the name
// parameter Outlook reads), RFC 2231 extended values for parameters
// (filename*=), each labelled with the charset the bytes are in.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace header_words {

/// The longest encoded-word RFC 2047 allows.
inline constexpr std::size_t kLongestWord = 75;
/// The label for bytes whose charset is not known (RFC 1428).
inline constexpr std::string_view kUnknownCharset = "UNKNOWN-8BIT";

/// True when every byte of text is below 128.
bool IsAscii(std::string_view text);

/// True when charset can label an encoded-word: an RFC 2047 token (no
/// blank, control character or special such as "?", "=" or ".").
bool IsCharsetToken(std::string_view charset);

/// The bytes of the character of text in charset that starts at text[at]:
/// a whole UTF-8 sequence (as far as its continuation bytes go), a lead
/// byte and its trail bytes in the multi-byte East Asian charsets
/// (Shift_JIS, GBK, GB18030, Big5, EUC-JP, EUC-KR ...), one byte in every
/// other charset. Never more than is left of text.
std::size_t CharacterLength(std::string_view text, std::size_t at, std::string_view charset);

/// text as "B" encoded-words (=?charset?B?...?=), in order, each at most
/// kLongestWord characters and the first at most firstWidth, holding whole
/// characters of charset only (at least one each, whatever the widths).
/// Adjacent words decode to text when joined with blanks, which decoders
/// drop between encoded-words. Empty text gives none.
std::vector<std::string> EncodedWords(std::string_view text, std::string_view charset,
                                      std::size_t firstWidth = kLongestWord);

/// An RFC 2231 extended parameter value: charset, two single quotes (no
/// language) and text with every byte but the attribute characters
/// (letters, digits and !#$&+-.^_`|~) written as "%" and two hexadecimal
/// digits.
std::string ExtendedValue(std::string_view text, std::string_view charset);

}  // namespace header_words
