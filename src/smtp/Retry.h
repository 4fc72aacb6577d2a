#pragma once
// Whether a failed send may succeed when the whole job is run again later,
// without any risk of delivering the message twice.

#include <exception>

#include "smtp/Qxsmtp.h"

/// A reply's code that asks to try again later (4xx).
inline bool IsTransientCode(int code) { return code >= 400 && code <= 499; }

/// True when failure, raised by smtp's Connect or SendMail (or Disconnect
/// after them) or by a step of the job before them, may not recur later:
/// the connection refused, reset, closed or timed out, a 4xx reply at any
/// step, an ETransient (an OAuth token endpoint unreachable or busy), or an
/// attached file that changed while it was sent (EFileChanged), and
/// in each case nothing went out that the server could deliver. False for whatever would fail the
/// same way again (any 5xx, a certificate or TLS failure, a name that does
/// not exist, a refused login, the message or the settings themselves) and
/// whenever the server may hold the message: it took it, or "." went out
/// and no clear answer came. When no recipient was accepted, or the send
/// was all or nothing, the recipients' refusals decide: only 4xx ones are
/// transient.
bool IsTransientFailure(const TQxSMTP& smtp, const std::exception& failure);
