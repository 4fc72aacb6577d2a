#pragma once
// Libraries taken with dlopen when a feature first needs them instead of
// being linked (OpenSslLibrary.h, CurlLibrary.h): a start of the program
// pays nothing for a library it does not use.

#include <span>
#include <string>
#include <string_view>

namespace platform::posix {

/// One function a library must have: its name, and the function pointer
/// (by its address) that receives it.
struct LibraryFunction {
  const char* name;
  void* pointer;
};

/// Loads the first of names that dlopen takes, for the life of the process,
/// and fills the pointer of each of functions. Returns empty, or why not
/// after the words of cannotLoad.
std::string LoadLibraryFunctions(std::span<const char* const> names, std::span<const LibraryFunction> functions,
                                 std::string_view cannotLoad);

}  // namespace platform::posix
