#include "platform/posix/LibraryFunctions.h"

#include <dlfcn.h>

#include <cstring>

namespace platform::posix {

// POSIX lets dlsym's data pointer stand for a function pointer of the same size.
static_assert(sizeof(void*) == sizeof(void (*)()));

std::string LoadLibraryFunctions(std::span<const char* const> names, std::span<const LibraryFunction> functions,
                                 std::string_view cannotLoad) {
  void* library = nullptr;
  for (const char* name : names) {
    library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) break;
  }
  if (library == nullptr) {
    const char* error = ::dlerror();
    return std::string(cannotLoad) + (error != nullptr ? error : names.front());
  }
  for (const LibraryFunction& function : functions) {
    void* symbol = ::dlsym(library, function.name);
    if (symbol == nullptr) return std::string(cannotLoad) + "it lacks " + function.name;
    std::memcpy(function.pointer, &symbol, sizeof symbol);
  }
  return {};
}

}  // namespace platform::posix
