// Client TLS through Schannel (SSPI) in the memory-buffer style: the session
// sees only the bytes handed to it. The certificate is always checked by
// the program's own check (CertificateCheck.h); Schannel's is skipped.

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // declares SCH_CREDENTIALS (TLS 1.3)

#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>

#include <cstring>

#include "platform/Sockets.h"
#include "platform/Tls.h"
#include "platform/win32/CertificateCheck.h"
#include "platform/win32/SchannelTexts.h"

namespace platform {
namespace {

using win32::Cert;
using win32::SecurityStatusText;
using win32::Store;

constexpr std::string_view kTlsSessionFailed = "The TLS session failed: ";
constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kCredentialFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION | SCH_USE_STRONG_CRYPTO;
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
      : settings_(settings), address_literal_(AddressOfLiteral(settings.host.c_str()).has_value()) {
    if (!settings_.caFile.empty()) anchors_ = win32::ReadPemCertificates(settings_.caFile);
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
    win32::CheckServerCertificate(leaf, anchors_.get(), settings_.host);
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
      std::string reported;
      for (const WCHAR* c = cipher.szCipherSuite; *c != L'\0'; ++c) reported += static_cast<char>(*c);
      info.cipher = win32::CipherSuiteName(cipher.dwCipherSuite, reported);
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

  TlsSettings settings_;
  bool address_literal_;  // the host is an IP address, which SNI never names
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
    win32::ReadPemCertificates(path);
  } catch (const TlsError& e) {
    return e.what();
  }
  return {};
}

}  // namespace platform
