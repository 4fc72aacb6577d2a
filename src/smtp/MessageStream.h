#pragma once
// The data of a message as the sender reads it: the composed text, held in
// memory, and the part of each file, encoded from its open file block by
// block while it is read. A message of any size then needs a few blocks of
// memory, and its size is known before the first byte goes out.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Exceptions.h"
#include "core/Stream.h"

/// Turns the bytes of a file, block by block, into the lines of its part.
class TPartEncoder {
 public:
  virtual ~TPartEncoder() = default;
  /// Input bytes per block: every block of a file but its last is this long.
  virtual std::size_t BlockSize() const = 0;
  /// Appends the lines of block to out; last: the block ends the file, and
  /// what closes the lines goes with it.
  virtual void Encode(std::string_view block, bool last, std::string& out) = 0;
  /// Forgets what the blocks so far left behind: the file is read anew.
  virtual void Restart() {}
  /// False when the input since Restart needs another encoding.
  virtual bool Suits() const { return true; }
};

/// A file whose part could not be read as it was measured: it shrank,
/// grew, was written to or failed to read. The message must not end then.
class EFileChanged : public Exception {
 public:
  using Exception::Exception;
};

/// Reads as the whole message data; Write, RoomInPlace and CommitInPlace
/// append text, AppendFile a file's part. Seeking is free; a position behind
/// the last one read costs a new reading from the start.
class TMessageStream : public TStream {
 public:
  TMessageStream() = default;
  ~TMessageStream() override;
  TMessageStream(const TMessageStream&) = delete;
  TMessageStream& operator=(const TMessageStream&) = delete;

  /// Reads from the position on; raises EFileChanged (naming the file's
  /// entry) before handing out any byte of a part whose file no longer
  /// gives what was measured.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  /// Appends the bytes at the end, wherever the position is.
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, std::uint16_t origin) override;
  char* RoomInPlace(std::int64_t count) override;
  void CommitInPlace(std::int64_t count) override;

  /// Appends the part of file (named entry in errors), encoded by encoder,
  /// which gives size bytes for the file as it is now.
  void AppendFile(std::unique_ptr<TFileStream> file, std::string entry, std::unique_ptr<TPartEncoder> encoder,
                  std::int64_t size);
  /// The bytes that encoder gives for all of file, which is left at its
  /// start (and encoder as the file left it: Suits tells; the reading stops
  /// where the encoder no longer suits); raises EStreamError when a read
  /// fails.
  static std::int64_t MeasureEncoded(TFileStream& file, TPartEncoder& encoder);
  /// Makes room for count more bytes of text at the end, so that a long
  /// text is not copied as it grows.
  void ReserveText(std::int64_t count);
  /// Closes the files and forgets the text.
  void Clear();
  /// The size of the whole data.
  std::int64_t DataSize() const { return size_; }
  /// The whole data, read from the start (for a message that fits in memory).
  std::string ToString();

 private:
  class FilePart;
  struct Piece {
    Piece();
    ~Piece();
    Piece(Piece&&) noexcept;
    Piece& operator=(Piece&&) noexcept;
    // The composed text, in a stream that gives room in place unfilled (a
    // line's worst case is three times its size); or else a file's part.
    std::unique_ptr<TMemoryStream> text;
    std::unique_ptr<FilePart> file;
    std::int64_t size = 0;
  };

  /// The text piece at the end, made when the last piece is a file's.
  TMemoryStream& LastText();
  /// Moves the reading cursor to position_: from the start when it lies behind.
  void CatchUp();
  /// Copies up to count bytes at the cursor into out; returns the count.
  std::int64_t ReadAtCursor(char* out, std::int64_t count);
  void Rewind();

  std::vector<Piece> pieces_;
  std::int64_t size_ = 0;
  std::int64_t position_ = 0;
  // The reading cursor: piece_, the offset within it, and its position in
  // the whole.
  std::size_t piece_ = 0;
  std::int64_t offset_ = 0;
  std::int64_t cursor_ = 0;
};
