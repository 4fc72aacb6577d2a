#pragma once
// The libcurl functions that the HTTP client calls, taken from libcurl when
// the first exchange needs them, as OpenSslLibrary.h takes OpenSSL's: a
// send without OAuth never loads it, and nothing here is linked against
// libcurl, so a call that bypasses this table does not build.

#include <curl/curl.h>

namespace platform::curl {

#define MAILSHOT_CURL_FUNCTIONS(X)                                                                       \
  X(curl_easy_cleanup) X(curl_easy_getinfo) X(curl_easy_init) X(curl_easy_perform) X(curl_easy_setopt) \
  X(curl_easy_strerror) X(curl_slist_append) X(curl_slist_free_all) X(curl_version_info)

// One pointer per function, by the function's own name: curl::curl_easy_init().
// Null until Load() has succeeded.
#define MAILSHOT_CURL_POINTER(name) extern decltype(&::name) name;
MAILSHOT_CURL_FUNCTIONS(MAILSHOT_CURL_POINTER)
#undef MAILSHOT_CURL_POINTER

/// Loads libcurl and fills every pointer, once per process; later calls
/// only repeat the outcome. Raises HttpError (kHttpLibraryMissing) when it
/// cannot be loaded or lacks one of the functions.
void Load();

}  // namespace platform::curl
