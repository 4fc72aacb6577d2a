// HTTPS through libcurl, loaded on first use. libcurl checks the chain and
// the host name with OpenSSL against the system's store. Where libcurl uses
// OpenSSL, the host goes into OpenSSL's own check too (its failure then
// names the reason), and the CA file's anchors into its context as the TLS
// sessions add theirs.

#include "platform/Http.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/Tls.h"
#include "platform/posix/CurlLibrary.h"
#include "platform/posix/OpenSslLibrary.h"
#include "platform/posix/TrustAnchors.h"

namespace platform {
namespace {

constexpr std::string_view kHttpsPrefix = "https://";
constexpr std::string_view kOpenSslBackend = "OpenSSL";

struct EasyCleanup {
  void operator()(CURL* handle) const { curl::curl_easy_cleanup(handle); }
};
struct ListFree {
  void operator()(curl_slist* list) const { curl::curl_slist_free_all(list); }
};

/// What the callbacks of one exchange share with it.
struct Exchange {
  std::string* body;
  const std::string* caFile;
  std::string host;  // as the URL names it, without brackets
  bool bodyTooLong = false;
  std::string anchorProblem;
};

/// The host of an https URL: a name, an IPv4 address, or an IPv6 address
/// without its brackets.
std::string HostOf(const std::string& url) {
  const std::string rest = url.substr(kHttpsPrefix.size());
  if (!rest.empty() && rest[0] == '[') return rest.substr(1, rest.find(']') - 1);
  return rest.substr(0, rest.find_first_of(":/?#"));
}

size_t Receive(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const size_t bytes = size * count;
  if (exchange.body->size() + bytes > kLongestHttpBody) {
    exchange.bodyTooLong = true;
    return 0;  // libcurl ends the exchange
  }
  exchange.body->append(data, bytes);  // within the storage reserved: never moved
  return bytes;
}

/// Sets up OpenSSL's context for the exchange: the host to check and the
/// CA file's anchors.
CURLcode PrepareContext(CURL*, void* sslContext, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  auto* context = static_cast<SSL_CTX*>(sslContext);
  X509_VERIFY_PARAM* check = ossl::SSL_CTX_get0_param(context);
  if (ossl::X509_VERIFY_PARAM_set1_ip_asc(check, exchange.host.c_str()) != 1) {
    ossl::X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    ossl::X509_VERIFY_PARAM_set1_host(check, exchange.host.data(), exchange.host.size());
  }
  ossl::ERR_clear_error();  // the attempt to read the host as an address
  if (exchange.caFile->empty()) return CURLE_OK;
  try {
    ossl::AddTrustAnchors(ossl::SSL_CTX_get_cert_store(context), *exchange.caFile);
  } catch (const TlsError& e) {
    exchange.anchorProblem = e.what();
    return CURLE_SSL_CACERT_BADFILE;
  }
  return CURLE_OK;
}

bool UsesOpenSsl() {
  const curl_version_info_data* info = curl::curl_version_info(CURLVERSION_NOW);
  return info != nullptr && info->ssl_version != nullptr &&
         std::string_view(info->ssl_version).substr(0, kOpenSslBackend.size()) == kOpenSslBackend;
}

/// Where libcurl looks for anchors: the system's store as the TLS sessions
/// find it (the folder of hashed names, whose anchors are read one by one
/// as needed; with withBundle also the bundle file, about 20 ms to read
/// whole), and the CA file: into OpenSSL's own context where libcurl uses
/// OpenSSL, so that a CA file's intermediate counts as an anchor too.
void SetTrust(CURL* handle, Exchange& exchange, bool withBundle) {
  curl::curl_easy_setopt(handle, CURLOPT_CAPATH, ossl::SystemStorePath(ossl::SystemStore::kFolder));
  curl::curl_easy_setopt(handle, CURLOPT_CAINFO,
                         withBundle ? ossl::SystemStorePath(ossl::SystemStore::kBundle) : nullptr);
  if (UsesOpenSsl()) {
    curl::curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, PrepareContext);
    curl::curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &exchange);
  } else if (!exchange.caFile->empty()) {
    curl::curl_easy_setopt(handle, CURLOPT_CAINFO, exchange.caFile->c_str());
  }
}

/// True when the exchange failed because the folder of the system's store
/// does not know the issuer, and the bundle file is there to ask: some
/// systems keep their anchors only there. The form was not sent then.
bool IssuerUnknown(CURL* handle, CURLcode code) {
  if (code != CURLE_PEER_FAILED_VERIFICATION) return false;
  long verifyResult = 0;
  curl::curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
  return (verifyResult == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
          verifyResult == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT) &&
         ::access(ossl::SystemStorePath(ossl::SystemStore::kBundle), R_OK) == 0;
}

/// Why the exchange brought no answer, in words.
std::string FailureText(CURL* handle, CURLcode code, const Exchange& exchange, const char* detail,
                        const HttpRequest& request) {
  long verifyResult = 0;
  const std::string described = *detail != '\0' ? detail : curl::curl_easy_strerror(code);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return std::string(kHttpNameNotFound);
    case CURLE_COULDNT_CONNECT:
      return std::string(kHttpNoConnection);
    case CURLE_OPERATION_TIMEDOUT:
      return TimedOutText(request.timeoutMilliseconds);
    case CURLE_WRITE_ERROR:
      return exchange.bodyTooLong ? std::string(kHttpBodyTooLong) : described;
    case CURLE_SSL_CACERT_BADFILE:
      return exchange.anchorProblem.empty() ? described : exchange.anchorProblem;
    case CURLE_PEER_FAILED_VERIFICATION:
      curl::curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
      if (verifyResult != X509_V_OK && UsesOpenSsl()) {
        return std::string(kTlsNotTrusted) + ossl::X509_verify_cert_error_string(verifyResult);
      }
      return std::string(kTlsNotTrusted) + described;
    case CURLE_SSL_CONNECT_ERROR:
      return std::string(kTlsHandshakeFailed) + described;
    default:
      return described;
  }
}

}  // namespace

int PostForm(const HttpRequest& request, std::string& body) {
  if (request.url.compare(0, kHttpsPrefix.size(), kHttpsPrefix) != 0) throw HttpError(std::string(kHttpNotHttps));
  curl::Load();
  try {
    ossl::Load();  // libcurl has loaded it already; this fills the table
  } catch (const TlsError& e) {
    throw HttpError(e.what());
  }
  const std::unique_ptr<CURL, EasyCleanup> handle(curl::curl_easy_init());
  if (!handle) throw HttpError(curl::curl_easy_strerror(CURLE_OUT_OF_MEMORY));
  std::unique_ptr<curl_slist, ListFree> headers;
  for (const char* header : {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json",
                             "Expect:"}) {  // no "100-continue" round trip before the form
    curl_slist* longer = curl::curl_slist_append(headers.get(), header);
    if (longer == nullptr) throw HttpError(curl::curl_easy_strerror(CURLE_OUT_OF_MEMORY));
    static_cast<void>(headers.release());  // longer holds it
    headers.reset(longer);
  }

  body.clear();
  body.reserve(kLongestHttpBody);
  Exchange exchange{&body, &request.caFile, HostOf(request.url), false, {}};
  char detail[CURL_ERROR_SIZE] = "";
  CURL* h = handle.get();
  curl::curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl::curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl::curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl::curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.form.c_str());  // not copied: the caller wipes its own
  curl::curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.form.size()));
  curl::curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl::curl_easy_setopt(h, CURLOPT_USERAGENT, "mailshot");
  curl::curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl::curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl::curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl::curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl::curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl::curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutMilliseconds));
  curl::curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Receive);
  curl::curl_easy_setopt(h, CURLOPT_WRITEDATA, &exchange);
  curl::curl_easy_setopt(h, CURLOPT_ERRORBUFFER, detail);
  SetTrust(h, exchange, false);

  const auto start = std::chrono::steady_clock::now();
  CURLcode code = curl::curl_easy_perform(h);
  if (IssuerUnknown(h, code)) {
    // Once more with the bundle file, within what is left of the bound.
    if (request.timeoutMilliseconds > 0) {
      const auto spent =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      const long left = std::max(1L, request.timeoutMilliseconds - static_cast<long>(spent));
      curl::curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left);
    }
    SetTrust(h, exchange, true);
    code = curl::curl_easy_perform(h);
  }
  if (code != CURLE_OK) throw HttpError(FailureText(h, code, exchange, detail, request));
  long status = 0;
  curl::curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  return static_cast<int>(status);
}

}  // namespace platform
