#include "platform/posix/OpenSslLibrary.h"

#include <string>

#include "platform/Tls.h"
#include "platform/posix/LibraryFunctions.h"

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
#define MAILSHOT_OPENSSL_ENTRY(function) {#function, &function},
  const posix::LibraryFunction functions[] = {MAILSHOT_OPENSSL_FUNCTIONS(MAILSHOT_OPENSSL_ENTRY)};
#undef MAILSHOT_OPENSSL_ENTRY
  return posix::LoadLibraryFunctions(kLibraryNames, functions, kCannotLoad);
}

}  // namespace

void Load() {
  static const std::string problem = LoadOnce();
  if (!problem.empty()) throw TlsError(problem);
}

}  // namespace platform::ossl
