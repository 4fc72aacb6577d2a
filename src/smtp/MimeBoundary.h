#pragma once
// The boundaries of a multipart message: drawn from the system's secure
// random generator for each message and each nested part, and the watch
// over text that goes as it is, which must hold no line that a reader
// would take for the end of its part.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mime_boundary {

/// A new boundary: "==" and 27 small letters (about 127 bits) from the
/// system's cryptographically secure generator, short enough for its
/// Content-Type line to keep within 78 characters. No encoded part can hold
/// it: base64 has no "-", quoted-printable never two "=" in a row, uuencode
/// no small letter; only text that goes as it is needs watching. Raises
/// Exception when the system gives no random bytes.
std::string Drawn();

/// True when line begins with "--" and one of boundaries: a reader takes
/// it for a boundary line, wherever it stands.
bool Delimits(std::string_view line, const std::vector<std::string>& boundaries);

/// Watches text that comes in blocks of any size (lines ended by LF, with
/// or without CR) for a line that Delimits.
class TDelimiterWatch {
 public:
  explicit TDelimiterWatch(std::vector<std::string> boundaries);
  /// Reads on in the text, block continuing where the block before ended.
  void Feed(std::string_view block);
  /// True when a line fed since the last Restart Delimits.
  bool Found() const { return found_; }
  /// Forgets what was fed: the next block starts a line.
  void Restart();

 private:
  std::vector<std::string> boundaries_;
  std::size_t longest_ = 0;  // of the lines that Delimits, "--" included
  std::string head_;         // the start of the line being fed, up to longest_
  bool collecting_ = true;   // head_ is not yet complete
  bool found_ = false;
};

}  // namespace mime_boundary
