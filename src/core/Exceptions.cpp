#include "core/Exceptions.h"

std::string FillPlaceholder(std::string_view pattern, std::string_view value) {
  for (size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] == '%' && (pattern[i + 1] == 's' || pattern[i + 1] == 'd')) {
      std::string result(pattern.substr(0, i));
      result += value;
      result += pattern.substr(i + 2);
      return result;
    }
  }
  return std::string(pattern);
}
