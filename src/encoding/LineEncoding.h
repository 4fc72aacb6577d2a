#pragma once
// The line encoders behind TQxUUProcessor: whole runs of full 45-byte lines
// at once, in portable code and, where the processor has them, in vector
// instructions chosen at run time. Every encoder of a kind writes the same
// bytes as the portable one.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace line_encoding {

/// The two alphabets as one block: uuencode (grave accent for 0, then the
/// codes 33 to 95) in positions 0 to 63, base64 in 64 to 127.
inline constexpr std::string_view kAlphabets =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr std::size_t kUUEncodeHalf = 0;
inline constexpr std::size_t kBase64Half = 64;

/// Input bytes of a full line.
inline constexpr std::size_t kLineBytes = 45;
/// A full base64 line: 60 characters, CR LF.
inline constexpr std::size_t kBase64LineSize = 62;
/// A full uuencode line: the length character "M", 60 characters, CR LF.
inline constexpr std::size_t kUUEncodeLineSize = 63;

/// Encodes `lines` full lines, reading exactly in[0, lines * 45) and writing
/// exactly lines * 62 (base64) or lines * 63 (uuencode) characters to out;
/// returns that count.
using FullLines = std::size_t (*)(const std::uint8_t* in, std::size_t lines, char* out);

/// One implementation of both encodings.
struct LineEncoder {
  std::string_view name;
  FullLines base64;
  FullLines uuencode;
};

/// Encodes the n bytes at in, each group of three as four characters of
/// alphabet (64 characters); a last group of one or two bytes gives two or
/// three characters, followed by "=" up to four when pad is set. Writes no
/// line end; returns the count of characters written.
std::size_t EncodeGroups(const std::uint8_t* in, std::size_t n, const char* alphabet, bool pad, char* out);

/// bytes in base64, "=" filled, as one run without line breaks. The result
/// is written into storage made to its size at once: when bytes is a secret,
/// no copy of its encoded form is left behind in freed memory.
std::string Base64(std::string_view bytes);

/// The bytes of text in base64 as Base64 writes it: groups of four
/// characters, "=" filling only the last, no blank or line break. None for
/// any other text, which may then be shown as it stands.
std::optional<std::string> DecodeBase64(std::string_view text);

/// The portable encoder, the reference every other one is held to.
extern const LineEncoder kPortableEncoder;

/// The encoders this processor can run, fastest first, the portable one last.
std::span<const LineEncoder> AvailableEncoders();

/// The fastest encoder this processor can run (chosen once).
const LineEncoder& FastestEncoder();

/// The vector encoders of this processor architecture that the running
/// processor supports, fastest first (none where the architecture has none).
std::span<const LineEncoder> VectorEncoders();

}  // namespace line_encoding
