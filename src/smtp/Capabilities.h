#pragma once
// The service extensions an SMTP server announces in its EHLO reply.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/// The extensions of one EHLO reply that the client can use; a plain value.
/// The SMTP client keeps the one of its latest EHLO.
struct TSmtpCapabilities {
  /// They come from an EHLO reply; false after HELO, when nothing is known
  /// of the server.
  bool Extended = false;
  bool StartTls = false;
  /// AUTH was announced; AuthMechanisms holds its mechanisms upper-cased,
  /// each once, in the server's order.
  bool Auth = false;
  std::vector<std::string> AuthMechanisms{};
  /// SIZE was announced; SizeLimit is its limit in bytes, 0 when it named
  /// none (or none that fits 64 bits).
  bool Size = false;
  std::uint64_t SizeLimit = 0;
  bool EightBitMime = false;
  bool Pipelining = false;
  /// Delivery status notifications (RFC 3461): NOTIFY, RET and ENVID.
  bool Dsn = false;

  /// True when AUTH offers mechanism (compared without regard to case).
  bool OffersAuth(std::string_view mechanism) const;

  /// Reads the lines of a whole EHLO reply, each as received (code and line
  /// end included). The first line greets and names no extension; keywords
  /// count without regard to case; unknown ones are skipped. AUTH is read
  /// in both forms, "AUTH PLAIN" and the older "AUTH=PLAIN".
  static TSmtpCapabilities FromEhloReply(const std::vector<std::string>& lines);
};
