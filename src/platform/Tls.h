#pragma once
// Client TLS sessions that turn bytes into bytes: ciphertext in from the
// peer, plaintext out, and the records to send back. A session never owns or
// touches a socket; the transport moves its bytes. OpenSSL on POSIX,
// Schannel on Windows.

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

/// What a client session checks and whom it says it talks to.
struct TlsSettings {
  std::string host;      // sent as SNI (a name, never an address) and checked against the certificate
  std::string caFile;    // PEM file of further trust anchors, besides the system's store; empty: none
  bool insecure = false; // no certificate check at all
};

/// Facts about an established session, as a trace would show them.
struct TlsSessionInfo {
  std::string protocol;  // "TLSv1.2", "TLSv1.3"
  std::string cipher;
  std::string subject;   // of the server's certificate, "CN=..., O=..."
  std::string issuer;
};

/// A TLS failure; the text names the reason in words.
class TlsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Texts of the failures both implementations report the same way.
inline constexpr std::string_view kTlsNotTrusted = "The server's certificate is not trusted: ";
inline constexpr std::string_view kTlsHandshakeFailed = "The TLS handshake failed: ";
inline constexpr std::string_view kTlsVersionTooOld =
    "The TLS handshake failed: the server does not speak TLS 1.2 or later";
inline constexpr std::string_view kTlsRenegotiation =
    "The server asked to renegotiate the TLS session, which is refused";
inline constexpr std::string_view kTlsCaFileUnreadable = "The CA file cannot be read: ";
inline constexpr std::string_view kTlsCaFileEmpty = "The CA file holds no PEM certificate: ";
// Reasons after kTlsNotTrusted, worded as OpenSSL words them.
inline constexpr std::string_view kTlsSelfSigned = "self-signed certificate";
inline constexpr std::string_view kTlsSelfSignedInChain = "self-signed certificate in certificate chain";
inline constexpr std::string_view kTlsUnknownIssuer = "unable to get local issuer certificate";
inline constexpr std::string_view kTlsExpired = "certificate has expired";
inline constexpr std::string_view kTlsNotYetValid = "certificate is not yet valid";

/// The reason, after kTlsNotTrusted, for a certificate that names the host
/// in its subject's common name alone: hosts are checked against the DNS
/// names of its subjectAltName only.
inline constexpr std::string_view kTlsCommonNameOnly = "the certificate names no DNS host (common name only)";

/// "The server's certificate is for <names>, not <host>".
inline std::string WrongNameText(const std::string& names, const std::string& host) {
  return "The server's certificate is for " + names + ", not " + host;
}

/// text with every byte that is no printable ASCII character as \xNN, as the
/// console shows control characters: a name from a certificate may hold
/// any byte, and a NUL would end the message there.
inline std::string PrintableText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  return shown;
}

/// A DNS name of a certificate as a message shows it: PrintableText, after
/// "DNS name " when it reads like an address, which it is not.
inline std::string DnsEntryText(std::string_view name) {
  const bool addressLike = !name.empty() && name.find_first_not_of("0123456789.") == std::string_view::npos;
  return addressLike ? "DNS name " + PrintableText(name) : PrintableText(name);
}

/// Why a certificate is not host's, from what it names: entries, the host
/// entries of its subjectAltName as a text (DnsEntryText, dotted
/// addresses), hasDnsEntry when one of them is a DNS name, and its subject's
/// common name. A host name with no DNS entry to match is named in the
/// common name alone, if anywhere.
inline std::string NameMismatchText(const std::string& host, bool hostIsAddress, const std::string& entries,
                                    bool hasDnsEntry, std::string_view commonName) {
  const std::string common = PrintableText(commonName);
  if (!hostIsAddress && !hasDnsEntry && !common.empty()) {
    return std::string(kTlsNotTrusted) + std::string(kTlsCommonNameOnly);
  }
  if (!entries.empty()) return WrongNameText(entries, host);
  return WrongNameText(common.empty() ? "no name" : common + " (common name only)", host);
}

/// One client session. Bytes flow through strings the caller owns: a call
/// takes what it used from the front of incoming and appends to outgoing
/// what must be sent to the peer, in order.
class TlsSession {
 public:
  virtual ~TlsSession() = default;

  /// Runs the handshake as far as incoming allows. True when it is complete;
  /// false when more bytes from the peer are needed (send outgoing first).
  /// Raises TlsError when the peer or the handshake fails.
  virtual bool Handshake(std::string& incoming, std::string& outgoing) = 0;
  /// Checks the server's certificate: the chain against the system's store
  /// and the CA file, then the host (a name against the DNS names of its
  /// subjectAltName, never its common name; an IPv4 literal against its IP
  /// addresses). Nothing with insecure. Raises TlsError (kTlsNotTrusted +
  /// reason, kTlsCommonNameOnly among them, or WrongNameText) before any
  /// application byte is sent.
  virtual void VerifyPeer() = 0;
  /// The largest plaintext one record carries.
  virtual int MaxRecordPlaintext() const = 0;
  /// Appends data (at most MaxRecordPlaintext bytes) to outgoing as one record.
  virtual void Encrypt(std::string_view data, std::string& outgoing) = 0;
  /// Decrypts every complete record of incoming, and those the session
  /// kept from the handshake's last bytes, appending the plaintext; the
  /// bytes of a record not yet complete stay in incoming or the session. Returns false
  /// once the peer has ended the session (close_notify). Raises TlsError for
  /// a damaged record, an alert or a renegotiation (kTlsRenegotiation).
  virtual bool Decrypt(std::string& incoming, std::string& plaintext, std::string& outgoing) = 0;
  /// Appends the close_notify alert to outgoing.
  virtual void Close(std::string& outgoing) = 0;
  /// Facts of the established session.
  virtual TlsSessionInfo Info() const = 0;
};

/// A client session ready for its handshake. Raises TlsError when the CA
/// file cannot be used or the TLS library refuses to start.
std::unique_ptr<TlsSession> CreateTlsSession(const TlsSettings& settings);

/// Why path cannot serve as a CA file (kTlsCaFileUnreadable or
/// kTlsCaFileEmpty followed by the path); empty when it holds at least one
/// PEM certificate.
std::string CaFileProblem(const std::string& path);

}  // namespace platform
