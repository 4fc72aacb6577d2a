#include "platform/posix/OpenSslLibrary.h"

#include <dlfcn.h>

#include <string>

#include "platform/Tls.h"

namespace platform::ossl {

#define MAILSHOT_OPENSSL_POINTER(name) decltype(&::name) name = nullptr;
MAILSHOT_OPENSSL_FUNCTIONS(MAILSHOT_OPENSSL_POINTER)
#undef MAILSHOT_OPENSSL_POINTER

namespace {

constexpr std::string_view kCannotLoad = "The TLS library cannot be loaded: ";
// OpenSSL 3's libssl by the names Linux and macOS give it; it brings its
// libcrypto along, and a lookup in libssl searches that too.
constexpr const char* kLibraryNames[] = {"libssl.so.3", "libssl.3.dylib"};

/// Empty when every pointer is filled; else why not.
std::string LoadOnce() {
  void* library = nullptr;
  for (const char* name : kLibraryNames) {
    library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) break;
  }
  if (library == nullptr) {
    const char* error = ::dlerror();
    return std::string(kCannotLoad) + (error != nullptr ? error : kLibraryNames[0]);
  }
  // The library stays loaded for the life of the process.
#define MAILSHOT_OPENSSL_RESOLVE(function)                                             \
  function = reinterpret_cast<decltype(function)>(::dlsym(library, #function));        \
  if (function == nullptr) return std::string(kCannotLoad) + "it lacks " #function;
  MAILSHOT_OPENSSL_FUNCTIONS(MAILSHOT_OPENSSL_RESOLVE)
#undef MAILSHOT_OPENSSL_RESOLVE
  return {};
}

}  // namespace

void Load() {
  static const std::string problem = LoadOnce();
  if (!problem.empty()) throw TlsError(problem);
}

}  // namespace platform::ossl
