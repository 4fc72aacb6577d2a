#include "core/Application.h"

namespace {
TExceptionHandler& Handler() {
  static TExceptionHandler handler;
  return handler;
}
}  // namespace

void SetApplicationExceptionHandler(TExceptionHandler handler) { Handler() = std::move(handler); }

void HandleApplicationException(const std::exception& e) {
  try {
    if (Handler()) Handler()(e);
  } catch (...) {
    // The handler of last resort must not raise out of a dispatch.
  }
}
