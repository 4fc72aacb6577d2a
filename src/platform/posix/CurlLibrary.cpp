#include "platform/posix/CurlLibrary.h"

#include <string>

#include "platform/Http.h"
#include "platform/posix/LibraryFunctions.h"

namespace platform::curl {

#define MAILSHOT_CURL_POINTER(name) decltype(&::name) name = nullptr;
MAILSHOT_CURL_FUNCTIONS(MAILSHOT_CURL_POINTER)
#undef MAILSHOT_CURL_POINTER

namespace {

// libcurl 7 and 8 by the names Linux and macOS give them.
constexpr const char* kLibraryNames[] = {"libcurl.so.4", "libcurl.4.dylib"};

/// Empty when every pointer is filled; else why not.
std::string LoadOnce() {
#define MAILSHOT_CURL_ENTRY(function) {#function, &function},
  const posix::LibraryFunction functions[] = {MAILSHOT_CURL_FUNCTIONS(MAILSHOT_CURL_ENTRY)};
#undef MAILSHOT_CURL_ENTRY
  return posix::LoadLibraryFunctions(kLibraryNames, functions, kHttpLibraryMissing);
}

}  // namespace

void Load() {
  static const std::string problem = LoadOnce();
  if (!problem.empty()) throw HttpError(problem);
}

}  // namespace platform::curl
