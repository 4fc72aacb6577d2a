// Client TLS through Schannel (SSPI) in the memory-buffer style: the session
// sees only the bytes handed to it. The certificate is always checked here,
// by hand: Schannel's automatic check is skipped (under Wine it checks
// nothing), and the SSL chain policy is not used (under Wine it passes a
// chain that ends in an unknown issuer, and it compares no IP addresses).

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // declares SCH_CREDENTIALS (TLS 1.3)

#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/Sockets.h"
#include "platform/Tls.h"
#include "platform/win32/SchannelTexts.h"

namespace platform {
namespace {

using win32::ChainErrorText;
using win32::SecurityStatusText;

constexpr std::string_view kTlsSessionFailed = "The TLS session failed: ";
constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kCredentialFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION | SCH_USE_STRONG_CRYPTO;
// Chain bits that say only that revocation was not looked at (it is not asked for).
constexpr DWORD kRevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
// Chain bits that a trust anchor from the CA file explains.
constexpr DWORD kAnchorExplains = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
constexpr char kPemBegin[] = "-----BEGIN CERTIFICATE-----";
constexpr char kPemEnd[] = "-----END CERTIFICATE-----";

struct StoreClose {
  void operator()(void* store) const { ::CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;
struct CertFree {
  void operator()(const CERT_CONTEXT* cert) const { ::CertFreeCertificateContext(cert); }
};
using Cert = std::unique_ptr<const CERT_CONTEXT, CertFree>;
struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { ::CertFreeCertificateChain(chain); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

/// A memory store with every certificate of a PEM file. Raises TlsError
/// when the file cannot be read or holds none.
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

/// The certificate's DNS names (as written, every byte) and IPv4 addresses
/// (4 bytes each), in its order.
struct AltNames {
  std::vector<std::string> dns;
  std::vector<std::string> addresses;
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
    } else if (tag == kIpAddressTag && value.size() == 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(value.data());
      names.addresses.emplace_back(value);
      add(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]));
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

std::string NameText(const CERT_NAME_BLOB& name) {
  char text[1024] = "";
  ::CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&name), CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
                   text, sizeof text);
  return text;
}

std::string ProtocolName(DWORD protocol) {
  if ((protocol & SP_PROT_TLS1_3) != 0) return "TLSv1.3";
  if ((protocol & SP_PROT_TLS1_2) != 0) return "TLSv1.2";
  if ((protocol & SP_PROT_TLS1_1) != 0) return "TLSv1.1";
  if ((protocol & SP_PROT_TLS1_0) != 0) return "TLSv1";
  return "protocol " + std::to_string(protocol);
}

void TakeToken(SecBuffer& token, std::string& outgoing) {
  if (token.pvBuffer == nullptr) return;
  outgoing.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
  ::FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
}

/// Keeps in incoming only the bytes a call left unused (SECBUFFER_EXTRA at
/// its end); returns how many it used.
size_t KeepExtra(const SecBuffer& second, std::string& incoming) {
  const size_t extra = second.BufferType == SECBUFFER_EXTRA ? second.cbBuffer : 0;
  const size_t used = incoming.size() - extra;
  incoming.erase(0, used);
  return used;
}

class SchannelSession final : public TlsSession {
 public:
  explicit SchannelSession(const TlsSettings& settings)
      : settings_(settings), address_literal_(InetAddr(settings.host.c_str()) != kNoAddress) {
    if (!settings_.caFile.empty()) anchors_ = ReadPemCertificates(settings_.caFile);
    AcquireCredentials();
  }

  ~SchannelSession() override {
    if (have_context_) ::DeleteSecurityContext(&context_);
    ::FreeCredentialsHandle(&credentials_);
  }

  bool Handshake(std::string& incoming, std::string& outgoing) override {
    if (!have_context_) {
      SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
      const SECURITY_STATUS status = Initialize(nullptr, &output);
      have_context_ = status == SEC_I_CONTINUE_NEEDED;
      TakeToken(token, outgoing);
      if (!have_context_) throw TlsError(std::string(kTlsHandshakeFailed) + SecurityStatusText(status));
      return false;
    }
    while (!incoming.empty()) {
      SecBuffer in[2] = {{static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                         {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc input{SECBUFFER_VERSION, 2, in};
      SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
      const SECURITY_STATUS status = Initialize(&input, &output);
      const bool answered = token.pvBuffer != nullptr && token.cbBuffer > 0;
      TakeToken(token, outgoing);  // sent whatever the status: it may be an alert
      if (status == SEC_E_INCOMPLETE_MESSAGE) return false;
      if (FAILED(status)) throw TlsError(std::string(kTlsHandshakeFailed) + SecurityStatusText(status));
      const size_t used = KeepExtra(in[1], incoming);
      if (status == SEC_E_OK) {
        Established();
        return true;
      }
      // SEC_I_CONTINUE_NEEDED, SEC_I_INCOMPLETE_CREDENTIALS: go on with what
      // is left; a call that used nothing and said nothing waits for more.
      if (used == 0 && !answered) return false;
    }
    return false;
  }

  void VerifyPeer() override {
    if (settings_.insecure) return;
    const CERT_CONTEXT* leaf = nullptr;
    if (::QueryContextAttributesA(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK || leaf == nullptr)
      throw TlsError(std::string(kTlsNotTrusted) + "no certificate");
    const Cert owned(leaf);
    CheckChain(leaf);
    CheckName(leaf);
  }

  int MaxRecordPlaintext() const override { return static_cast<int>(sizes_.cbMaximumMessage); }

  void Encrypt(std::string_view data, std::string& outgoing) override {
    const size_t start = outgoing.size();
    outgoing.resize(start + sizes_.cbHeader + data.size() + sizes_.cbTrailer);
    char* record = outgoing.data() + start;
    std::memcpy(record + sizes_.cbHeader, data.data(), data.size());
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
        {static_cast<unsigned long>(data.size()), SECBUFFER_DATA, record + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + data.size()},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = ::EncryptMessage(&context_, 0, &message, 0);
    if (status != SEC_E_OK) throw TlsError(std::string(kTlsSessionFailed) + SecurityStatusText(status));
    // The record is what the three buffers hold now (the trailer shrinks).
    char* end = record;
    for (int i = 0; i < 3; ++i) {
      std::memmove(end, buffers[i].pvBuffer, buffers[i].cbBuffer);
      end += buffers[i].cbBuffer;
    }
    outgoing.resize(static_cast<size_t>(end - outgoing.data()));
  }

  bool Decrypt(std::string& incoming, std::string& plaintext, std::string& outgoing) override {
    while (!incoming.empty()) {
      SecBuffer buffers[4] = {{static_cast<unsigned long>(incoming.size()), SECBUFFER_DATA, incoming.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = ::DecryptMessage(&context_, &message, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      if (status == SEC_I_CONTEXT_EXPIRED) {
        incoming.clear();
        return false;
      }
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
        throw TlsError(std::string(kTlsSessionFailed) + SecurityStatusText(status));
      // Decrypted in place: copy the plaintext out before incoming moves.
      size_t extra = 0;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA) plaintext.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        if (buffer.BufferType == SECBUFFER_EXTRA) extra = buffer.cbBuffer;
      }
      const bool progress = extra < incoming.size();
      incoming.erase(0, incoming.size() - extra);
      if (status == SEC_I_RENEGOTIATE) {
        TakePostHandshakeMessage(incoming, outgoing);
      } else if (!progress) {
        break;
      }
    }
    return true;
  }

  void Close(std::string& outgoing) override {
    if (!have_context_) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controls{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(&context_, &controls) != SEC_E_OK) return;
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    Initialize(nullptr, &output);
    TakeToken(token, outgoing);
  }

  TlsSessionInfo Info() const override {
    TlsSessionInfo info;
    auto* context = const_cast<CtxtHandle*>(&context_);
    SecPkgContext_ConnectionInfo connection{};
    if (::QueryContextAttributesA(context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK)
      info.protocol = ProtocolName(connection.dwProtocol);
    SecPkgContext_CipherInfo cipher{};
    if (::QueryContextAttributesA(context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK) {
      for (const WCHAR* c = cipher.szCipherSuite; *c != L'\0'; ++c) info.cipher += static_cast<char>(*c);
    } else {
      info.cipher = "cipher " + std::to_string(connection.aiCipher) + " " + std::to_string(connection.dwCipherStrength) +
                    " bits, hash " + std::to_string(connection.aiHash) + ", exchange " + std::to_string(connection.aiExch);
    }
    const CERT_CONTEXT* leaf = nullptr;
    if (::QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) == SEC_E_OK && leaf != nullptr) {
      const Cert owned(leaf);
      info.subject = NameText(leaf->pCertInfo->Subject);
      info.issuer = NameText(leaf->pCertInfo->Issuer);
    }
    return info;
  }

 private:
  void AcquireCredentials() {
    // TLS 1.3 needs the newer structure (Windows 11, Server 2022); systems
    // that do not know it refuse it, and then speak TLS 1.2 only.
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    if (Acquire(&current) == SEC_E_OK) return;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = kCredentialFlags;
    const SECURITY_STATUS status = Acquire(&older);
    if (status != SEC_E_OK) throw TlsError(std::string(kTlsHandshakeFailed) + SecurityStatusText(status));
  }

  SECURITY_STATUS Acquire(void* credentials) {
    return ::AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                       credentials, nullptr, nullptr, &credentials_, nullptr);
  }

  /// One InitializeSecurityContext call; the target name is sent as SNI,
  /// so an address goes as none.
  SECURITY_STATUS Initialize(SecBufferDesc* input, SecBufferDesc* output) {
    char* target = address_literal_ ? nullptr : settings_.host.data();
    ULONG attributes = 0;
    return ::InitializeSecurityContextA(&credentials_, have_context_ ? &context_ : nullptr, target, kRequest, 0, 0,
                                        input, 0, &context_, output, &attributes, nullptr);
  }

  void Established() {
    ::QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    SecPkgContext_ConnectionInfo connection{};
    if (::QueryContextAttributesA(&context_, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK) {
      tls13_ = (connection.dwProtocol & SP_PROT_TLS1_3) != 0;
      // Wine (and perhaps older systems) does not honour the protocols
      // switched off above: TLS 1.1 was seen negotiated.
      if ((connection.dwProtocol & (SP_PROT_TLS1_2 | SP_PROT_TLS1_3)) == 0) throw TlsError(std::string(kTlsVersionTooOld));
    }
  }

  /// DecryptMessage's SEC_I_RENEGOTIATE: under TLS 1.3 a message after the
  /// handshake (a session ticket, a key update) that the handshake call
  /// takes; under TLS 1.2 the server's wish to renegotiate, which is refused.
  void TakePostHandshakeMessage(std::string& incoming, std::string& outgoing) {
    if (!tls13_) throw TlsError(std::string(kTlsRenegotiation));
    SecBuffer in[2] = {{static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, in};
    SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
    const SECURITY_STATUS status = Initialize(&input, &output);
    TakeToken(token, outgoing);
    if (FAILED(status) && status != SEC_E_INCOMPLETE_MESSAGE)
      throw TlsError(std::string(kTlsSessionFailed) + SecurityStatusText(status));
    if (status != SEC_E_INCOMPLETE_MESSAGE) KeepExtra(in[1], incoming);
  }

  void CheckChain(const CERT_CONTEXT* leaf) {
    // The server's own certificates, and the CA file's, help build the chain.
    Store extra(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    ::CertAddStoreToCollection(extra.get(), leaf->hCertStore, 0, 0);
    if (anchors_) ::CertAddStoreToCollection(extra.get(), anchors_.get(), 0, 0);
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
    for (DWORD i = 0; errors != 0 && anchors_ && i < simple->cElement; ++i) {
      if (!InStore(anchors_.get(), simple->rgpElement[i]->pCertContext)) continue;
      errors = 0;
      for (DWORD j = 0; j <= i; ++j) errors |= simple->rgpElement[j]->TrustStatus.dwErrorStatus;
      errors &= ~(kRevocationUnknown | kAnchorExplains);
    }
    if (errors != 0) throw TlsError(std::string(kTlsNotTrusted) + ChainReason(errors, simple));
  }

  static std::string ChainReason(DWORD errors, const CERT_SIMPLE_CHAIN* simple) {
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

  /// The host against the DNS names of the subjectAltName (never its
  /// common name, which the system's policy check would still consult), an
  /// address literal against its IP entries.
  void CheckName(const CERT_CONTEXT* leaf) const {
    const AltNames names = ReadAltNames(leaf);
    bool matches = false;
    if (address_literal_) {
      const std::uint32_t address = InetAddr(settings_.host.c_str());
      const std::string bytes(reinterpret_cast<const char*>(&address), sizeof address);
      for (const std::string& entry : names.addresses) matches = matches || entry == bytes;
    } else {
      for (const std::string& entry : names.dns) matches = matches || NameMatches(entry, settings_.host);
    }
    if (matches) return;
    throw TlsError(NameMismatchText(settings_.host, address_literal_, names.text, !names.dns.empty(), CommonName(leaf)));
  }

  TlsSettings settings_;
  bool address_literal_;
  Store anchors_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool have_context_ = false;
  bool tls13_ = false;
  SecPkgContext_StreamSizes sizes_{};
};

}  // namespace

std::unique_ptr<TlsSession> CreateTlsSession(const TlsSettings& settings) {
  return std::make_unique<SchannelSession>(settings);
}

std::string CaFileProblem(const std::string& path) {
  try {
    ReadPemCertificates(path);
  } catch (const TlsError& e) {
    return e.what();
  }
  return {};
}

}  // namespace platform
