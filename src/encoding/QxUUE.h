#pragma once
// Turns the bytes of one stream into lines of printable text on another:
// base64 or uuencode.

#include <cstdint>
#include <string_view>

#include "core/Component.h"
#include "core/Stream.h"

/// The encodings TQxUUProcessor produces.
enum UUMethods : std::uint8_t {
  uuMime = 0,  // base64 lines of 60 characters, "=" filled
  uuCode = 1,  // uuencode lines with a length character, then a grave-accent line
};

inline constexpr std::string_view kEncodeNeedsStreams = "Encode needs an input and an output stream";

/// Encodes InputStream into OutputStream, neither of which it owns. Created
/// by whoever needs one encoding (the SMTP client, one per attachment) and
/// owned like any component.
class TQxUUProcessor : public TComponent {
 public:
  explicit TQxUUProcessor(TComponent* owner);

  /// Encodes all of InputStream from its start into OutputStream from its
  /// position on: one read of up to 45 bytes and one write per line, every
  /// line ending CR LF. Ends early when a read yields nothing. Fires
  /// OnBeginEncode first; in every case, failure included, then sets
  /// OutputStream's position to 0 and fires OnEndEncode. Stream errors go on
  /// to the caller (a short write is "Stream write error"); raises Exception
  /// "Encode needs an input and an output stream" when either is missing.
  void Encode();

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

  char table_[64] = {};  // the alphabet of Method, loaded by Encode
};
