#pragma once
// The encodings of a file's part, block by block: base64 or uuencode lines,
// quoted-printable text with every line end kept, and a message's lines as
// they are.

#include <memory>

#include "encoding/QxUUE.h"
#include "smtp/MessageStream.h"

namespace part_encoders {

/// Lines of 45 input bytes in base64 (uuMime) or uuencode; the size they
/// take follows from the file's size alone (SizeFor).
class TLineParts : public TPartEncoder {
 public:
  explicit TLineParts(UUMethods method);
  std::size_t BlockSize() const override;
  void Encode(std::string_view block, bool last, std::string& out) override;
  std::int64_t SizeFor(std::int64_t size) const { return processor_.EncodedSize(size); }

 private:
  TQxUUProcessor processor_{nullptr};
};

/// Quoted-printable text where every line end is escaped, so that no reader
/// can turn CR LF into its own line end or back: a soft line break follows
/// each LF to keep the text readable as lines, and ends each block. Only the
/// last line's own line end is hard; it belongs to the next boundary. Suits
/// ASCII text without a NUL only.
class TQuotedPrintableText : public TPartEncoder {
 public:
  std::size_t BlockSize() const override;
  void Encode(std::string_view block, bool last, std::string& out) override;
  void Restart() override { readable_ = true; }
  bool Suits() const override { return readable_; }

 private:
  bool readable_ = true;
};

/// A message's lines as they are, with SMTP's dot-stuffing and a last line
/// end that belongs to the next boundary. Suits only text that 7bit carries
/// unchanged: ASCII without a NUL, lines ended by CR LF (a last one may lack
/// it) of at most 998 octets.
class TSevenBitLines : public TPartEncoder {
 public:
  std::size_t BlockSize() const override;
  void Encode(std::string_view block, bool last, std::string& out) override;
  void Restart() override;
  bool Suits() const override { return suits_; }

 private:
  bool suits_ = true;
  bool afterCr_ = false;       // the block before ended with CR
  std::size_t lineLength_ = 0;  // of the line that the block before left open
};

}  // namespace part_encoders
