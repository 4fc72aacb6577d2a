#pragma once
// String helpers of the command-line parser: cutting words off a string at
// the characters of a set, and trimming blanks and control characters.

#include <bitset>
#include <string>
#include <string_view>

/// A set of byte values (0 to 255), as switch characters and delimiters are kept.
using TCharSet = std::bitset<256>;

/// True when the byte c is a member of set.
inline bool InSet(char c, const TCharSet& set) { return set.test(static_cast<unsigned char>(c)); }

/// The characters of s from its start up to, not including, the first one in
/// set; all of s when none is in set.
std::string CopyUntil(std::string_view s, const TCharSet& set);

/// s without its leading characters that are in set.
std::string SkipChars(std::string_view s, const TCharSet& set);

/// Takes the first word off s: leading set characters are skipped, the word
/// runs up to the next set character, and that one separator and every set
/// character after it are removed from s too. Returns the word, empty only
/// when s was empty or made of set characters alone.
std::string CutWord(std::string& s, const TCharSet& set);

/// s without its leading and trailing characters of code 32 or less.
std::string Trim(std::string_view s);
