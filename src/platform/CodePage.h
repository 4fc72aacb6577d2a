#pragma once
// The two subject conversions of the mail job: from the system's ANSI code
// page to its OEM (DOS) code page, and to KOI8-R. Windows uses the system's
// own pair; POSIX takes the locale's codeset as ANSI and, as OEM, the DOS
// page that Windows pairs with the locale's language.

#include <string>

namespace platform {

/// text re-encoded from the ANSI to the OEM code page; a character the OEM
/// page lacks becomes a replacement character. Never raises.
std::string ConvertAnsiToOem(const std::string& text);
/// text re-encoded from the ANSI code page to KOI8-R (code page 20866); a
/// character KOI8-R lacks becomes a replacement character. Never raises.
std::string ConvertAnsiToKoi8r(const std::string& text);

}  // namespace platform
