#include "platform/win32/CertificateCheck.h"

#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/Sockets.h"
#include "platform/Tls.h"
#include "platform/win32/SchannelTexts.h"

namespace platform::win32 {
namespace {

// Chain bits that say only that revocation was not looked at (it is not asked for).
constexpr DWORD kRevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
// Chain bits that a trust anchor from the CA file explains.
constexpr DWORD kAnchorExplains = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----";

struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { ::CertFreeCertificateChain(chain); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

bool SameCertificate(const CERT_CONTEXT* a, const CERT_CONTEXT* b) {
  return a->cbCertEncoded == b->cbCertEncoded && std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

bool InStore(void* store, const CERT_CONTEXT* cert) {
  for (const CERT_CONTEXT* each = nullptr; (each = ::CertEnumCertificatesInStore(store, each)) != nullptr;) {
    if (SameCertificate(each, cert)) {
      ::CertFreeCertificateContext(each);
      return true;
    }
  }
  return false;
}

/// The certificate's DNS names (as written, every byte) and IP addresses
/// (IPv4 and IPv6), in its order.
struct AltNames {
  std::vector<std::string> dns;
  std::vector<SocketAddress> addresses;
  std::string text;  // every entry, "a, b"
};

/// Takes one element of DER off the front of der: its tag and its content.
/// False when der does not start with a whole element.
bool TakeDerElement(std::string_view& der, unsigned char& tag, std::string_view& content) {
  if (der.size() < 2) return false;
  tag = static_cast<unsigned char>(der[0]);
  size_t length = static_cast<unsigned char>(der[1]);
  size_t header = 2;
  if ((length & 0x80) != 0) {
    const size_t bytes = length & 0x7F;
    if (bytes == 0 || bytes > 4 || der.size() < header + bytes) return false;
    length = 0;
    for (size_t i = 0; i < bytes; ++i) length = length << 8 | static_cast<unsigned char>(der[header + i]);
    header += bytes;
  }
  if (der.size() - header < length) return false;
  content = der.substr(header, length);
  der.remove_prefix(header + length);
  return true;
}

// The GeneralName choices a host is checked against ([2] and [7], implicit).
constexpr unsigned char kDerSequence = 0x30;
constexpr unsigned char kDnsNameTag = 0x82;
constexpr unsigned char kIpAddressTag = 0x87;

/// The subjectAltName read from its DER bytes: the system's decoder gives
/// a DNS name as a NUL-ended text, which would cut "good.example\0.evil"
/// to a name that matches.
AltNames ReadAltNames(const CERT_CONTEXT* cert) {
  AltNames names;
  const CERT_EXTENSION* extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                                        cert->pCertInfo->rgExtension);
  if (extension == nullptr) return names;
  std::string_view der(reinterpret_cast<const char*>(extension->Value.pbData), extension->Value.cbData);
  unsigned char tag = 0;
  std::string_view entries;
  if (!TakeDerElement(der, tag, entries) || tag != kDerSequence) return names;
  const auto add = [&names](const std::string& name) { names.text += (names.text.empty() ? "" : ", ") + name; };
  std::string_view value;
  while (TakeDerElement(entries, tag, value)) {
    if (tag == kDnsNameTag) {
      names.dns.emplace_back(value);
      add(DnsEntryText(value));
    } else if (tag == kIpAddressTag) {
      const SocketAddress address = AddressOfBytes(reinterpret_cast<const unsigned char*>(value.data()), value.size());
      if (address.family == AddressFamily::kNone) continue;
      names.addresses.push_back(address);
      add(AddressText(address));
    }
  }
  return names;
}

std::string CommonName(const CERT_CONTEXT* cert) {
  char name[256] = "";
  ::CertGetNameStringA(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name, sizeof name);
  return name;
}

std::string Lower(std::string text) {
  for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

/// A DNS name of a certificate against the host: equal without regard to
/// case, or "*." and the rest for exactly one whole first label.
bool NameMatches(const std::string& pattern, const std::string& host) {
  const std::string p = Lower(pattern);
  const std::string h = Lower(host);
  if (p.size() > 2 && p.compare(0, 2, "*.") == 0 && p.find('.', 2) != std::string::npos) {
    const size_t dot = h.find('.');
    return dot != std::string::npos && dot > 0 && h.compare(dot, std::string::npos, p, 1, std::string::npos) == 0;
  }
  return p == h;
}

std::string ChainReason(DWORD errors, const CERT_SIMPLE_CHAIN* simple) {
  if ((errors & CERT_TRUST_IS_PARTIAL_CHAIN) != 0) return ChainErrorText(errors);
  if ((errors & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0)
    return std::string(simple->cElement == 1 ? kTlsSelfSigned : kTlsSelfSignedInChain);
  if ((errors & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
    for (DWORD i = 0; i < simple->cElement; ++i) {
      if ((simple->rgpElement[i]->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_TIME_VALID) == 0) continue;
      const LONG when = ::CertVerifyTimeValidity(nullptr, simple->rgpElement[i]->pCertContext->pCertInfo);
      return std::string(when < 0 ? kTlsNotYetValid : kTlsExpired);
    }
    return std::string(kTlsExpired);
  }
  return ChainErrorText(errors);
}

void CheckChain(const CERT_CONTEXT* leaf, void* anchors) {
  // The server's own certificates, and the CA file's, help build the chain.
  Store extra(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  ::CertAddStoreToCollection(extra.get(), leaf->hCertStore, 0, 0);
  if (anchors) ::CertAddStoreToCollection(extra.get(), anchors, 0, 0);
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {serverAuth};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  const CERT_CHAIN_CONTEXT* built = nullptr;
  if (!::CertGetCertificateChain(nullptr, leaf, nullptr, extra.get(), &parameters, 0, nullptr, &built) ||
      built == nullptr)
    throw TlsError(std::string(kTlsNotTrusted) + "unable to get local issuer certificate");
  const Chain chain(built);
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  DWORD errors = chain->TrustStatus.dwErrorStatus & ~kRevocationUnknown;
  // Up to a trust anchor of the CA file, the chain must be sound; what is
  // above it (an unknown or missing root) does not count.
  for (DWORD i = 0; errors != 0 && anchors && i < simple->cElement; ++i) {
    if (!InStore(anchors, simple->rgpElement[i]->pCertContext)) continue;
    errors = 0;
    for (DWORD j = 0; j <= i; ++j) errors |= simple->rgpElement[j]->TrustStatus.dwErrorStatus;
    errors &= ~(kRevocationUnknown | kAnchorExplains);
  }
  if (errors != 0) throw TlsError(std::string(kTlsNotTrusted) + ChainReason(errors, simple));
}

/// The host against the DNS names of the subjectAltName (never its
/// common name, which the system's policy check would still consult), an
/// address literal against its IP entries.
void CheckName(const CERT_CONTEXT* leaf, const std::string& host) {
  const AltNames names = ReadAltNames(leaf);
  bool matches = false;
  const std::optional<SocketAddress> addressLiteral = AddressOfLiteral(host.c_str());
  if (addressLiteral) {
    // An IPv4 entry never stands for an IPv6 host, nor the other way round.
    for (const SocketAddress& entry : names.addresses) {
      matches = matches || (entry.family == addressLiteral->family && entry.bytes == addressLiteral->bytes);
    }
  } else {
    for (const std::string& entry : names.dns) matches = matches || NameMatches(entry, host);
  }
  if (matches) return;
  throw TlsError(NameMismatchText(host, addressLiteral.has_value(), names.text, !names.dns.empty(), CommonName(leaf)));
}

}  // namespace

Store ReadPemCertificates(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  if (!file || !(content << file.rdbuf())) throw TlsError(std::string(kTlsCaFileUnreadable) + path);
  const std::string text = content.str();
  Store store(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  int count = 0;
  for (size_t begin = text.find(kPemBegin); begin != std::string::npos; begin = text.find(kPemBegin, begin + 1)) {
    const size_t end = text.find(kPemEnd, begin);
    if (end == std::string::npos) break;
    const std::string block = text.substr(begin, end + sizeof kPemEnd - 1 - begin);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr))
      continue;
    std::string der(size, '\0');
    if (::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                               reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr) &&
        ::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                           size, CERT_STORE_ADD_ALWAYS, nullptr))
      ++count;
  }
  if (count == 0) throw TlsError(std::string(kTlsCaFileEmpty) + path);
  return store;
}

void CheckServerCertificate(const CERT_CONTEXT* leaf, void* anchors, const std::string& host) {
  CheckChain(leaf, anchors);
  CheckName(leaf, host);
}

}  // namespace platform::win32
