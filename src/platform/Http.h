#pragma once
// One HTTPS exchange: a form posted to a token endpoint and its answer.
// WinHTTP on Windows (it brings the machine's proxy settings); libcurl on
// POSIX, loaded when the first exchange needs it. The server's certificate
// is checked as the TLS sessions check it: the chain against the system's
// store and the CA file, then the host name.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

/// A form to post.
struct HttpRequest {
  std::string url;              // "https://host[:port]/path[?query]"; nothing but https is sent
  std::string form;             // application/x-www-form-urlencoded; may hold secrets, left to the caller to wipe
  std::string caFile;           // PEM file of further trust anchors, besides the system's store; empty: none
  int timeoutMilliseconds = 0;  // bound on the whole exchange, connect to last byte; 0: none
};

/// The longest answer taken; a token endpoint's is a few kB.
inline constexpr std::size_t kLongestHttpBody = 256 * 1024;

/// An exchange that brought no answer; the text says why in words, without
/// the URL ("no connection could be made", "no answer within 5 s",
/// "The server's certificate is not trusted: self-signed certificate").
class HttpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::string_view kHttpNotHttps = "only https addresses are used";
inline constexpr std::string_view kHttpNoConnection = "no connection could be made";
inline constexpr std::string_view kHttpNameNotFound = "the server's name was not found";
inline constexpr std::string_view kHttpBodyTooLong = "the answer is longer than 256 KiB";
inline constexpr std::string_view kHttpLibraryMissing = "The HTTP library cannot be loaded: ";

/// "no answer within 5 s" (or "... 300 ms" for a bound of no whole seconds).
inline std::string TimedOutText(int milliseconds) {
  return "no answer within " +
         (milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s" : std::to_string(milliseconds) + " ms");
}

/// Posts request.form to request.url with the headers Content-Type
/// (application/x-www-form-urlencoded) and Accept (application/json); no
/// redirect is followed and no cookie kept. The form goes out only after
/// the server's certificate passed its check. Returns the answer's status,
/// any status, with its body in body. body may hold secrets: it gets
/// storage for kLongestHttpBody bytes first, so that it never moves, and
/// holds what came also when the call raises; its owner wipes it. Raises
/// HttpError when there is no answer: not https, name not found,
/// connection refused or broken, TLS or certificate failure, the time bound
/// run out, an answer beyond kLongestHttpBody, or the HTTP library missing.
int PostForm(const HttpRequest& request, std::string& body);

}  // namespace platform
