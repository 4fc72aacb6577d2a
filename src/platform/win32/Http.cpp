// HTTPS through WinHTTP, which brings the machine's proxy settings. WinHTTP's
// own certificate check is switched off and the program's own made instead
// (CertificateCheck.h), between the request's head and its form: the form
// never reaches a server whose certificate failed.

#include "platform/Http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/Tls.h"
#include "platform/win32/CertificateCheck.h"

namespace platform {
namespace {

using win32::Cert;
using win32::Store;

constexpr std::string_view kHttpsPrefix = "https://";
constexpr wchar_t kUserAgent[] = L"mailshot";
constexpr wchar_t kHeaders[] = L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
// The program checks the certificate itself, and only then sends the form.
constexpr DWORD kOwnCertificateCheck = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                       SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
constexpr int kNoTimeOut = 0;

struct InternetClose {
  void operator()(void* handle) const { ::WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetClose>;

/// WinHTTP's error numbers in words, for those an exchange meets.
struct ErrorWords {
  DWORD error;
  std::string_view words;
};
constexpr ErrorWords kErrorWords[] = {
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, kHttpNameNotFound},
    {ERROR_WINHTTP_CANNOT_CONNECT, kHttpNoConnection},
    {ERROR_WINHTTP_CONNECTION_ERROR, "the connection was broken"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "the server's answer is no HTTP"},
    {ERROR_WINHTTP_SECURE_FAILURE, "The TLS handshake failed"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "The TLS handshake failed"},
    {ERROR_WINHTTP_INVALID_URL, "the address is no URL"},
};

std::wstring Wide(const std::string& text) {
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
  return narrow;
}

/// The time left of an exchange's bound, for every WinHTTP wait in turn.
class Deadline {
 public:
  explicit Deadline(int milliseconds)
      : milliseconds_(milliseconds), end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds)) {}

  /// Bounds the next waits of handle by the time left; raises HttpError
  /// when none is. The wait for the answer's head has an option of its
  /// own (which Wine applies instead of the receive time-out).
  void Apply(void* handle) const {
    int wait = kNoTimeOut;
    if (milliseconds_ != 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
      if (left <= 0) throw HttpError(TimedOutText(milliseconds_));
      wait = static_cast<int>(left);
    }
    ::WinHttpSetTimeouts(handle, wait, wait, wait, wait);
    DWORD headWait = wait == kNoTimeOut ? INFINITE : static_cast<DWORD>(wait);
    ::WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headWait, sizeof headWait);
  }

  int Milliseconds() const { return milliseconds_; }

 private:
  int milliseconds_;
  std::chrono::steady_clock::time_point end_;
};

[[noreturn]] void Fail(const Deadline& deadline) {
  const DWORD error = ::GetLastError();
  // Wine reports the socket's own time-out.
  if (error == ERROR_WINHTTP_TIMEOUT || error == WSAETIMEDOUT) throw HttpError(TimedOutText(deadline.Milliseconds()));
  for (const ErrorWords& known : kErrorWords) {
    if (known.error == error) throw HttpError(std::string(known.words));
  }
  throw HttpError("WinHTTP error " + std::to_string(error));
}

Internet OpenSession() {
  // The proxy as the system finds it (Windows 8.1 on); older systems know
  // only the one set with netsh.
  for (const DWORD access : {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY}) {
    Internet session(::WinHttpOpen(kUserAgent, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) continue;
    // TLS 1.3 where the system has it; systems without refuse the flag.
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
      protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
      ::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    }
    return session;
  }
  throw HttpError("WinHTTP cannot start: error " + std::to_string(::GetLastError()));
}

/// The server's certificate against the program's own check; raises
/// HttpError with the check's reason.
void CheckCertificate(void* request, void* anchors, const std::string& host) {
  const CERT_CONTEXT* leaf = nullptr;
  DWORD size = sizeof leaf;
  if (!::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &leaf, &size) || leaf == nullptr) {
    throw HttpError(std::string(kTlsNotTrusted) + "no certificate");
  }
  const Cert owned(leaf);
  try {
    win32::CheckServerCertificate(leaf, anchors, host);
  } catch (const TlsError& e) {
    throw HttpError(e.what());
  }
}

/// The host of a URL as a certificate names it: an IPv6 address without
/// the brackets that the URL puts around it.
std::string CertificateHost(const std::wstring& host) {
  const std::string text = Narrow(host);
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
  return text;
}

void SetOption(void* handle, DWORD option, DWORD value) { ::WinHttpSetOption(handle, option, &value, sizeof value); }

}  // namespace

int PostForm(const HttpRequest& request, std::string& body) {
  if (request.url.compare(0, kHttpsPrefix.size(), kHttpsPrefix) != 0) throw HttpError(std::string(kHttpNotHttps));
  body.clear();
  body.reserve(kLongestHttpBody);
  const Deadline deadline(request.timeoutMilliseconds);
  Store anchors;
  if (!request.caFile.empty()) {
    try {
      anchors = win32::ReadPemCertificates(request.caFile);
    } catch (const TlsError& e) {
      throw HttpError(e.what());
    }
  }

  const std::wstring url = Wide(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) Fail(deadline);
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                            std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);

  const Internet session = OpenSession();
  deadline.Apply(session.get());
  const Internet connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) Fail(deadline);
  const Internet exchange(::WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!exchange) Fail(deadline);
  void* const h = exchange.get();
  SetOption(h, WINHTTP_OPTION_SECURITY_FLAGS, kOwnCertificateCheck);
  SetOption(h, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
  SetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_COOKIES);

  // The head alone first: the connection and the handshake, then the check.
  deadline.Apply(h);
  if (!::WinHttpSendRequest(h, kHeaders, static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0,
                            static_cast<DWORD>(request.form.size()), 0))
    Fail(deadline);
  CheckCertificate(h, anchors.get(), CertificateHost(host));
  deadline.Apply(h);
  DWORD written = 0;
  if (!::WinHttpWriteData(h, request.form.data(), static_cast<DWORD>(request.form.size()), &written)) Fail(deadline);
  deadline.Apply(h);
  if (!::WinHttpReceiveResponse(h, nullptr)) Fail(deadline);

  DWORD status = 0;
  DWORD size = sizeof status;
  if (!::WinHttpQueryHeaders(h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX))
    Fail(deadline);
  for (;;) {
    deadline.Apply(h);
    DWORD available = 0;
    if (!::WinHttpQueryDataAvailable(h, &available)) Fail(deadline);
    if (available == 0) break;
    const size_t start = body.size();
    if (start + available > kLongestHttpBody) throw HttpError(std::string(kHttpBodyTooLong));
    body.resize(start + available);  // within the storage reserved: never moved
    DWORD read = 0;
    if (!::WinHttpReadData(h, body.data() + start, available, &read)) Fail(deadline);
    body.resize(start + read);
  }
  return static_cast<int>(status);
}

}  // namespace platform
