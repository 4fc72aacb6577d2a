#include "cmdline/StrFuncs.h"

namespace {
bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

size_t FirstInSet(std::string_view s, const TCharSet& set) {
  size_t i = 0;
  while (i < s.size() && !InSet(s[i], set)) ++i;
  return i;
}

size_t FirstNotInSet(std::string_view s, const TCharSet& set) {
  size_t i = 0;
  while (i < s.size() && InSet(s[i], set)) ++i;
  return i;
}
}  // namespace

std::string CopyUntil(std::string_view s, const TCharSet& set) { return std::string(s.substr(0, FirstInSet(s, set))); }

std::string SkipChars(std::string_view s, const TCharSet& set) { return std::string(s.substr(FirstNotInSet(s, set))); }

std::string CutWord(std::string& s, const TCharSet& set) {
  s = SkipChars(s, set);
  std::string word = CopyUntil(s, set);
  // The one separator after the word goes with it; the skip then takes any run after it.
  s = SkipChars(std::string_view(s).substr(word.size()), set);
  return word;
}

std::string Trim(std::string_view s) {
  size_t begin = 0, end = s.size();
  while (begin < end && IsBlankOrControl(s[begin])) ++begin;
  while (end > begin && IsBlankOrControl(s[end - 1])) --end;
  return std::string(s.substr(begin, end - begin));
}
