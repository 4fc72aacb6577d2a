#pragma once
// The two subject conversions of the mail job: from the system's ANSI code
// page to its OEM (DOS) code page, and to KOI8-R. Windows uses the system's
// own pair; POSIX takes the locale's codeset as ANSI and, as OEM, the DOS
// page that Windows pairs with the locale's language. Also the names under
// which mail labels text in these code pages.

#include <optional>
#include <string>

namespace platform {

/// text re-encoded from the ANSI to the OEM code page; a character the OEM
/// page lacks becomes a replacement character. Never raises.
std::string ConvertAnsiToOem(const std::string& text);
/// text re-encoded from the ANSI code page to KOI8-R (code page 20866); a
/// character KOI8-R lacks becomes a replacement character. Never raises.
std::string ConvertAnsiToKoi8r(const std::string& text);

/// The mail charset name (IANA) of the OEM code page that ConvertAnsiToOem
/// writes: "IBM866", "IBM850", "IBM437", ...
std::string OemCharsetName();
/// The mail charset name of the system's text as the program gets it: its
/// command line, and file names as it reads them from a list file and opens
/// them. The ANSI code page on Windows ("windows-1251"), the locale's
/// codeset on POSIX, where a plain ASCII locale (C, POSIX) counts as UTF-8,
/// what terminals and file names use there today.
std::string SystemCharsetName();

/// text as the run log writes it: in UTF-8 on Windows, where text that is
/// no UTF-8 already is taken as the ANSI code page's (a character it does
/// not hold was lost before); elsewhere as it is, in the locale's codeset.
std::string LogFileText(const std::string& text);

/// text, in the charset named ianaName (code page codePage on Windows),
/// as UTF-8; nullopt when some of it is no character of that charset or
/// the system cannot convert from it.
std::optional<std::string> ConvertToUtf8(const std::string& text, const char* ianaName, unsigned codePage);

}  // namespace platform
