#pragma once
// What the refusals that users meet most often mean: one line of advice for
// a well-known reply of a server, shown after the server's own text.

#include <string_view>

/// The line of advice for a server's reply line: the first row of the
/// program's table whose reply code, enhanced status code (RFC 3463) and
/// words (case aside) the line has. Where no row fits, a refused login
/// (loginRefused) gets "check /LOGIN and the password"; anything else, and a
/// text that is no reply, none (empty).
std::string_view RefusalAdvice(std::string_view reply, bool loginRefused = false);
