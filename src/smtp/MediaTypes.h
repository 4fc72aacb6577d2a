#pragma once
// Media types of attachments by their file name's extension, from a table
// of our own: the system's registry (Windows) or mime.types (POSIX) differ
// from machine to machine, and a message should not.

#include <string_view>

namespace media_types {

inline constexpr std::string_view kOctetStream = "application/octet-stream";
inline constexpr std::string_view kMessage = "message/rfc822";

/// The media type of a file named fileName, by the extension after its last
/// "." (case aside); kOctetStream for an extension not in the table and
/// for a name without one.
std::string_view MediaTypeOf(std::string_view fileName);

/// True for a "text/..." type, whose readers expect text to read.
bool IsText(std::string_view mediaType);

/// True for an "image/..." type.
bool IsImage(std::string_view mediaType);

/// The bytes at a file's start that ImageTypeOfContent reads at most.
inline constexpr std::size_t kImageSignatureBytes = 18;

/// The image type that head, a file's first bytes, shows by its signature
/// (PNG, JPEG, GIF, BMP, TIFF, WebP); empty when it shows none.
std::string_view ImageTypeOfContent(std::string_view head);

}  // namespace media_types
