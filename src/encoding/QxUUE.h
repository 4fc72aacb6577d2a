#pragma once
// Turns the bytes of one stream into lines of printable text on another:
// base64 or uuencode.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/Component.h"
#include "core/Stream.h"

/// The encodings TQxUUProcessor produces.
enum UUMethods : std::uint8_t {
  uuMime = 0,  // base64 lines of 60 characters, "=" filled
  uuCode = 1,  // uuencode lines with a length character, then a grave-accent line
};

/// Lines that Encode reads and writes at a time: one run of 45-byte lines.
inline constexpr std::size_t kEncodeRunLines = 2048;

inline constexpr std::string_view kEncodeNeedsStreams = "Encode needs an input and an output stream";

/// Encodes InputStream into OutputStream, neither of which it owns. Created
/// by whoever needs one encoding (the SMTP client, one per attachment) and
/// owned like any component.
class TQxUUProcessor : public TComponent {
 public:
  explicit TQxUUProcessor(TComponent* owner);

  /// Encodes all of InputStream from its start into OutputStream from its
  /// position on, every line ending CR LF: the input is read in runs of
  /// lines (several reads where a read yields less) and each run's lines go
  /// out with one write, or straight into OutputStream's memory where it
  /// offers room in place. Every line but the last holds 45 input bytes. Reads nothing beyond the size InputStream had
  /// at the start; ends early when a read yields nothing. Fires OnBeginEncode first; in every case, failure included,
  /// then sets OutputStream's position to 0 and fires OnEndEncode. Stream errors go on to the caller (a short write is
  /// "Stream write error"); raises Exception "Encode needs an input and an output stream" when either is missing.
  void Encode();

  /// The size of the lines that size input bytes give, line ends (and
  /// uuencode's closing line) included: what Encode writes for them.
  std::int64_t EncodedSize(std::int64_t size) const;
  /// Encodes the count bytes of run, whole lines but for the very last, into
  /// out, which has room for EncodedSize(count); returns the count written.
  /// A run of full lines may be followed by another: together they give the
  /// lines of one stream.
  std::size_t EncodeRun(const std::uint8_t* run, std::size_t count, char* out) const;
  /// Writes what ends the lines into out (uuencode's zero-length line; base64
  /// has none) and returns its length, at most kClosingLineSize.
  std::size_t CloseLines(char* out) const;
  static constexpr std::size_t kClosingLineSize = 3;

  UUMethods Method = uuMime;
  TNotifyEvent OnBeginEncode;
  TNotifyEvent OnEndEncode;
  /// Published for completeness; nothing decodes, so nothing fires them.
  TNotifyEvent OnBeginDecode;
  TNotifyEvent OnEndDecode;

  TStream* InputStream = nullptr;
  TStream* OutputStream = nullptr;

 private:
  void EncodeLines();
  /// Reads count bytes into run, in as many reads as it takes; fewer only
  /// where a read yields nothing.
  std::size_t ReadRun(std::uint8_t* run, std::size_t count);
  /// Encodes the count bytes of run (whole lines but for the very last) and
  /// writes the lines with one write, or in place where OutputStream offers
  /// room; scratch holds them otherwise (made on first use).
  void WriteRun(const std::uint8_t* run, std::size_t count, std::unique_ptr<char[]>& scratch);
  /// The length of count bytes' lines, without uuencode's closing line.
  std::size_t RunSize(std::size_t count) const;
  /// The length of the line that n (1 to 45) bytes give, CR LF included.
  std::size_t ShortLineSize(std::size_t n) const;
  /// Encodes one line of n (1 to 45) bytes into line; returns its length.
  std::size_t EncodeShortLine(const std::uint8_t* in, std::size_t n, char* line) const;
  /// The alphabet of Method.
  const char* Table() const;
};
