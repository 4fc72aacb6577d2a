#include "platform/posix/CurlLibrary.h"

#include <dlfcn.h>

#include <string>

#include "platform/Http.h"

namespace platform::curl {

#define MAILSHOT_CURL_POINTER(name) decltype(&::name) name = nullptr;
MAILSHOT_CURL_FUNCTIONS(MAILSHOT_CURL_POINTER)
#undef MAILSHOT_CURL_POINTER

namespace {

// libcurl 7 and 8 by the names Linux and macOS give them.
constexpr const char* kLibraryNames[] = {"libcurl.so.4", "libcurl.4.dylib"};

/// Empty when every pointer is filled; else why not.
std::string LoadOnce() {
  void* library = nullptr;
  for (const char* name : kLibraryNames) {
    library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) break;
  }
  if (library == nullptr) {
    const char* error = ::dlerror();
    return std::string(kHttpLibraryMissing) + (error != nullptr ? error : kLibraryNames[0]);
  }
  // The library stays loaded for the life of the process.
#define MAILSHOT_CURL_RESOLVE(function)                                         \
  function = reinterpret_cast<decltype(function)>(::dlsym(library, #function)); \
  if (function == nullptr) return std::string(kHttpLibraryMissing) + "it lacks " #function;
  MAILSHOT_CURL_FUNCTIONS(MAILSHOT_CURL_RESOLVE)
#undef MAILSHOT_CURL_RESOLVE
  return {};
}

}  // namespace

void Load() {
  static const std::string problem = LoadOnce();
  if (!problem.empty()) throw HttpError(problem);
}

}  // namespace platform::curl
