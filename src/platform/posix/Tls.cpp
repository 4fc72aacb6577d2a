// Client TLS through OpenSSL with memory BIOs: the session sees only the
// bytes handed to it and leaves the socket to the transport. Every OpenSSL
// call goes through the table that loads the library on first use.

#include "platform/Tls.h"

#include <cstdint>

#include "platform/Sockets.h"
#include "platform/posix/OpenSslLibrary.h"
#include "platform/posix/TrustAnchors.h"

namespace platform {
namespace {

constexpr std::string_view kTlsSessionFailed = "The TLS session failed: ";

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { ossl::SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { ossl::SSL_free(ssl); }
};
struct BioFree {
  void operator()(BIO* bio) const { ossl::BIO_free(bio); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* ctx) const { ossl::X509_STORE_CTX_free(ctx); }
};

/// The oldest error in OpenSSL's queue; empties the queue.
unsigned long TakeQueuedError() {
  const unsigned long oldest = ossl::ERR_get_error();
  ossl::ERR_clear_error();
  return oldest;
}

std::string ErrorText(unsigned long code, std::string_view fallback) {
  if (code == 0) return std::string(fallback);
  const char* reason = ossl::ERR_reason_error_string(code);
  return reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(code));
}

std::string QueuedErrorText(std::string_view fallback) { return ErrorText(TakeQueuedError(), fallback); }

/// The host names of a certificate's subjectAltName: its DNS entries (as
/// written, every byte) and IP entries (IPv4 and IPv6), in its order, for a
/// message.
struct AltNames {
  bool dns = false;  // there is a DNS entry
  std::string text;  // every entry, "a, b"
};

AltNames ReadAltNames(X509* cert) {
  AltNames names;
  const auto add = [&names](const std::string& name) { names.text += (names.text.empty() ? "" : ", ") + name; };
  if (auto* entries =
          static_cast<GENERAL_NAMES*>(ossl::X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr))) {
    const auto* stack = reinterpret_cast<const OPENSSL_STACK*>(entries);  // what sk_GENERAL_NAME_* take
    for (int i = 0; i < ossl::OPENSSL_sk_num(stack); ++i) {
      const auto* entry = static_cast<const GENERAL_NAME*>(ossl::OPENSSL_sk_value(stack, i));
      if (entry->type == GEN_DNS) {
        names.dns = true;
        add(DnsEntryText({reinterpret_cast<const char*>(ossl::ASN1_STRING_get0_data(entry->d.dNSName)),
                          static_cast<size_t>(ossl::ASN1_STRING_length(entry->d.dNSName))}));
      } else if (entry->type == GEN_IPADD) {
        const std::string address = AddressText(AddressOfBytes(
            ossl::ASN1_STRING_get0_data(entry->d.iPAddress),
            static_cast<std::size_t>(ossl::ASN1_STRING_length(entry->d.iPAddress))));
        if (!address.empty()) add(address);
      }
    }
    ossl::GENERAL_NAMES_free(entries);
  }
  return names;
}

/// The subject's common name; empty when it has none.
std::string CommonName(X509* cert) {
  char common[256] = "";
  ossl::X509_NAME_get_text_by_NID(ossl::X509_get_subject_name(cert), NID_commonName, common, sizeof common);
  return common;
}

std::string NameText(const X509_NAME* name) {
  const std::unique_ptr<BIO, BioFree> text(ossl::BIO_new(ossl::BIO_s_mem()));
  // Most specific first, ", " between parts: as Windows writes names.
  ossl::X509_NAME_print_ex(text.get(), name, 0,
                           (XN_FLAG_RFC2253 & ~XN_FLAG_SEP_MASK & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC);
  char* data = nullptr;
  const long length = ossl::BIO_ctrl(text.get(), BIO_CTRL_INFO, 0, &data);  // BIO_get_mem_data
  return std::string(data, static_cast<size_t>(length));
}

class OpenSslSession final : public TlsSession {
 public:
  explicit OpenSslSession(const TlsSettings& settings) : settings_(settings) {
    ctx_.reset(ossl::SSL_CTX_new(ossl::TLS_client_method()));
    if (!ctx_) throw TlsError(std::string(kTlsHandshakeFailed) + QueuedErrorText("no TLS context"));
    // TLS 1.2 at least; a stricter minimum of the system's OpenSSL
    // configuration (MinProtocol = TLSv1.3) stays. SSL_CTX_get_min_proto_version
    // gives 0 for none; SSL_CTX_set_min_proto_version raises it.
    if (ossl::SSL_CTX_ctrl(ctx_.get(), SSL_CTRL_GET_MIN_PROTO_VERSION, 0, nullptr) < TLS1_2_VERSION) {
      ossl::SSL_CTX_ctrl(ctx_.get(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    }
    // The chain is checked in VerifyPeer, with words for each failure; the
    // handshake only records the result.
    ossl::SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_NONE, nullptr);
    // The system's store as a folder of hashed names: the chain's issuers are
    // read one by one when asked for. Its bundle file costs about 20 ms to
    // read whole, most of a session's start, so it is read only when the
    // folder does not know an issuer (VerifyPeer).
    if (!settings_.insecure) {
      ossl::SSL_CTX_load_verify_dir(ctx_.get(), ossl::SystemStorePath(ossl::SystemStore::kFolder));
    }
    if (!settings_.caFile.empty()) ossl::AddTrustAnchors(ossl::SSL_CTX_get_cert_store(ctx_.get()), settings_.caFile);
    ssl_.reset(ossl::SSL_new(ctx_.get()));
    BIO* in = ossl::BIO_new(ossl::BIO_s_mem());
    BIO* out = ossl::BIO_new(ossl::BIO_s_mem());
    if (!ssl_ || in == nullptr || out == nullptr) {
      ossl::BIO_free(in);
      ossl::BIO_free(out);
      throw TlsError(std::string(kTlsHandshakeFailed) + QueuedErrorText("no TLS session"));
    }
    // BIO_set_mem_eof_return: an empty BIO means "more to come", not the end.
    ossl::BIO_ctrl(in, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    ossl::SSL_set_bio(ssl_.get(), in, out);
    in_ = in;
    out_ = out;
    ossl::SSL_set_connect_state(ssl_.get());
    if (!IsAddressLiteral()) {  // SSL_set_tlsext_host_name
      ossl::SSL_ctrl(ssl_.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                     const_cast<char*>(settings_.host.c_str()));
    }
    ossl::SSL_set_msg_callback(ssl_.get(), WatchMessages);
    ossl::SSL_ctrl(ssl_.get(), SSL_CTRL_SET_MSG_CALLBACK_ARG, 0, this);  // SSL_set_msg_callback_arg
  }

  bool Handshake(std::string& incoming, std::string& outgoing) override {
    ossl::ERR_clear_error();
    Feed(incoming);
    const int result = ossl::SSL_do_handshake(ssl_.get());
    Drain(outgoing);
    established_ = result == 1;
    if (established_) return true;
    if (ossl::SSL_get_error(ssl_.get(), result) == SSL_ERROR_WANT_READ) return false;
    const unsigned long error = TakeQueuedError();
    const int reason = ERR_GET_REASON(error);
    // The server's refusal of every version offered, or its offer of an older one.
    if (reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION || reason == SSL_R_UNSUPPORTED_PROTOCOL)
      throw TlsError(std::string(kTlsVersionTooOld));
    throw TlsError(std::string(kTlsHandshakeFailed) + ErrorText(error, "the server ended the handshake"));
  }

  void VerifyPeer() override {
    if (settings_.insecure) return;
    X509* cert = ossl::SSL_get0_peer_certificate(ssl_.get());
    if (cert == nullptr) throw TlsError(std::string(kTlsNotTrusted) + "no certificate");
    long result = ossl::SSL_get_verify_result(ssl_.get());
    if (result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY || result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT) {
      result = VerifyWithSystemBundle(cert);
    }
    if (result != X509_V_OK) throw TlsError(std::string(kTlsNotTrusted) + ossl::X509_verify_cert_error_string(result));
    const std::optional<SocketAddress> address = AddressOfLiteral(settings_.host.c_str());
    // A name is checked against the DNS names alone: OpenSSL would fall
    // back to the common name where there are none.
    const bool matches =
        address ? ossl::X509_check_ip(cert, address->bytes.data(), AddressLength(*address), 0) == 1
                : ossl::X509_check_host(cert, settings_.host.data(), settings_.host.size(),
                                        X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT,
                                        nullptr) == 1;
    if (!matches) throw TlsError(NameMismatchText(cert));
  }

  int MaxRecordPlaintext() const override { return SSL3_RT_MAX_PLAIN_LENGTH; }

  void Encrypt(std::string_view data, std::string& outgoing) override {
    ossl::ERR_clear_error();
    if (!data.empty() && ossl::SSL_write(ssl_.get(), data.data(), static_cast<int>(data.size())) <= 0)
      throw TlsError(std::string(kTlsSessionFailed) + QueuedErrorText("cannot encrypt"));
    Drain(outgoing);
  }

  bool Decrypt(std::string& incoming, std::string& plaintext, std::string& outgoing) override {
    ossl::ERR_clear_error();
    Feed(incoming);
    char chunk[SSL3_RT_MAX_PLAIN_LENGTH];
    bool open = true;
    for (;;) {
      const int n = ossl::SSL_read(ssl_.get(), chunk, sizeof chunk);
      if (renegotiation_requested_) {
        ossl::BIO_ctrl(out_, BIO_CTRL_RESET, 0, nullptr);  // BIO_reset: the answer OpenSSL began must not go out
        throw TlsError(std::string(kTlsRenegotiation));
      }
      if (n > 0) {
        plaintext.append(chunk, static_cast<size_t>(n));
        continue;
      }
      const int error = ossl::SSL_get_error(ssl_.get(), n);
      if (error == SSL_ERROR_WANT_READ) break;
      if (error == SSL_ERROR_ZERO_RETURN) {
        open = false;
        break;
      }
      throw TlsError(std::string(kTlsSessionFailed) + QueuedErrorText("damaged record"));
    }
    // Reading can answer the peer (TLS 1.3 key updates).
    Drain(outgoing);
    return open;
  }

  void Close(std::string& outgoing) override {
    ossl::ERR_clear_error();
    ossl::SSL_shutdown(ssl_.get());
    ossl::ERR_clear_error();
    Drain(outgoing);
  }

  TlsSessionInfo Info() const override {
    TlsSessionInfo info;
    info.protocol = ossl::SSL_get_version(ssl_.get());
    // The IANA name, as Schannel gives it on Windows.
    const char* cipher = ossl::SSL_CIPHER_standard_name(ossl::SSL_get_current_cipher(ssl_.get()));
    info.cipher = cipher != nullptr ? cipher : "";
    if (X509* cert = ossl::SSL_get0_peer_certificate(ssl_.get())) {
      info.subject = NameText(ossl::X509_get_subject_name(cert));
      info.issuer = NameText(ossl::X509_get_issuer_name(cert));
    }
    return info;
  }

 private:
  /// Notices the server's request to renegotiate. (With renegotiation
  /// switched off, OpenSSL drops the request unseen and the server may wait
  /// for an answer forever: so it stays on, and Decrypt refuses instead.)
  static void WatchMessages(int writing, int, int contentType, const void* data, size_t length, SSL*, void* self) {
    auto* session = static_cast<OpenSslSession*>(self);
    if (writing == 0 && contentType == SSL3_RT_HANDSHAKE && length > 0 &&
        static_cast<const unsigned char*>(data)[0] == SSL3_MT_HELLO_REQUEST && session->established_)
      session->renegotiation_requested_ = true;
  }

  /// The chain's check again, with the system's bundle file added to the
  /// store: some systems keep their anchors only there.
  long VerifyWithSystemBundle(X509* cert) {
    X509_STORE* store = ossl::SSL_CTX_get_cert_store(ctx_.get());
    ossl::X509_STORE_load_file(store, ossl::SystemStorePath(ossl::SystemStore::kBundle));
    ossl::ERR_clear_error();  // a missing bundle leaves the first verdict standing
    const std::unique_ptr<X509_STORE_CTX, StoreCtxFree> check(ossl::X509_STORE_CTX_new());
    if (!check || ossl::X509_STORE_CTX_init(check.get(), store, cert, ossl::SSL_get_peer_cert_chain(ssl_.get())) != 1) {
      ossl::ERR_clear_error();
      return X509_V_ERR_UNSPECIFIED;
    }
    ossl::X509_STORE_CTX_set_default(check.get(), "ssl_server");
    ossl::X509_verify_cert(check.get());
    ossl::ERR_clear_error();
    return ossl::X509_STORE_CTX_get_error(check.get());
  }

  bool IsAddressLiteral() const { return AddressOfLiteral(settings_.host.c_str()).has_value(); }

  /// Why cert is not the host's: what it names instead.
  std::string NameMismatchText(X509* cert) const {
    const AltNames names = ReadAltNames(cert);
    return platform::NameMismatchText(settings_.host, IsAddressLiteral(), names.text, names.dns, CommonName(cert));
  }

  void Feed(std::string& incoming) {
    if (!incoming.empty()) ossl::BIO_write(in_, incoming.data(), static_cast<int>(incoming.size()));
    incoming.clear();
  }

  void Drain(std::string& outgoing) {
    const size_t pending = ossl::BIO_ctrl_pending(out_);
    if (pending == 0) return;
    const size_t start = outgoing.size();
    outgoing.resize(start + pending);
    const int got = ossl::BIO_read(out_, outgoing.data() + start, static_cast<int>(pending));
    outgoing.resize(start + static_cast<size_t>(got > 0 ? got : 0));
  }

  TlsSettings settings_;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
  bool established_ = false;  // the first handshake is complete
  bool renegotiation_requested_ = false;
};

}  // namespace

std::unique_ptr<TlsSession> CreateTlsSession(const TlsSettings& settings) {
  ossl::Load();
  return std::make_unique<OpenSslSession>(settings);
}

std::string CaFileProblem(const std::string& path) {
  try {
    ossl::Load();
    if (!ossl::HoldsPemCertificate(path)) return std::string(kTlsCaFileEmpty) + path;
  } catch (const TlsError& e) {
    return e.what();
  }
  return {};
}

}  // namespace platform
