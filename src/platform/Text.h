#pragma once
// Case rules of the system's ANSI code page, used where names are compared
// "without regard to case under the locale".

#include <string>

namespace platform {

/// Upper case of s in the system's ANSI code page.
std::string AnsiUpperCase(const std::string& s);
/// Compares a and b without regard to case: <0, 0 or >0.
int AnsiCompareText(const std::string& a, const std::string& b);

}  // namespace platform
