#pragma once
// The exception classes shared by every unit. Failures travel as exceptions
// carrying a message text; only the program's exception hook turns one into
// a box and an exit code.

#include <exception>
#include <string>
#include <string_view>

/// Base of every exception the program raises; carries the message text.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  /// Replaces the text: for a handler that passes the exception on without
  /// a part of its text (a secret).
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};

/// A socket operation failed (WinSock error texts, lookup and connect failures).
class ESockError : public Exception {
 public:
  using Exception::Exception;
};

/// A socket operation ended because of a cancel or a time-out.
class EAbortError : public ESockError {
 public:
  using ESockError::ESockError;
};

/// TLS could not be set up with the server as it answered: its certificate,
/// its protocol, or no TLS at all. (A connection lost during the handshake
/// is an ESockError of its own kind.)
class ETlsError : public ESockError {
 public:
  using ESockError::ESockError;
};

/// Mixed into an exception, besides its Exception base, whose failure may
/// pass: a service the job relies on other than the SMTP server (whose
/// replies and sockets tell for themselves) gave no answer in time or said
/// it is busy, so the job may succeed when it runs again later.
class ETransient {
 public:
  virtual ~ETransient() = default;
};

/// A stream could not do what was asked ("Seek error", "PutBack overflow", ...).
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};

/// A file could not be opened; the text is "Cannot open file %s".
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

/// A value does not fit a fixed width (16-bit lengths, handles, reply codes).
class ERangeError : public Exception {
 public:
  ERangeError() : Exception("Range check error") {}
  using Exception::Exception;
};

inline constexpr std::string_view kCannotOpenFile = "Cannot open file %s";

/// Replaces the first "%s" or "%d" of pattern with value.
std::string FillPlaceholder(std::string_view pattern, std::string_view value);
