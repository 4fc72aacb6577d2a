#pragma once
// A stream that buffers reads from and writes to another stream in large
// blocks, so that line-sized reads and writes reach it rarely.

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/Component.h"
#include "core/Stream.h"

/// What the buffer of a TS_BufferStream holds.
enum TBufferMode : std::uint8_t {
  bmIdle = 0,     // nothing that matters
  bmReading = 1,  // cursor..limit: read ahead from the underlying stream, not yet consumed
  bmWriting = 2,  // start..cursor: written by the user, not yet passed on
};

/// Size in bytes of the buffer of every TS_BufferStream created from now on
/// (process-wide; 32768 at start). Values below 1 count as 1.
extern std::int32_t DefaultBufferSize;

inline constexpr std::string_view kInvalidSeekOrigin = "Invalid seek origin = %d";
inline constexpr std::string_view kSeekError = "Seek error";
inline constexpr std::string_view kPutBackOverflow = "PutBack overflow";
inline constexpr std::string_view kFlushBeforeReadFailed = "Stream write error";

/// Buffers another stream, the underlying stream, which it does not own and
/// which must outlive it. Its logical position is always the underlying
/// stream's position plus the pending count (see PendingCount).
class TS_BufferStream : public TStream {
 public:
  /// Allocates the buffer; reads nothing. The mode starts bmIdle.
  explicit TS_BufferStream(TStream& underlying);
  /// Passes pending written bytes on (a failure then goes unnoticed) and
  /// frees the buffer; the underlying stream stays.
  ~TS_BufferStream() override;
  TS_BufferStream(const TS_BufferStream&) = delete;
  TS_BufferStream& operator=(const TS_BufferStream&) = delete;

  /// Serves from the buffer, refilling it from the underlying stream in
  /// blocks of the capacity; returns the count read (0 at the end). Pending
  /// written bytes are passed on first; raises EStreamError "Stream write
  /// error" when they cannot all be written.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  /// Collects in the buffer and passes it on whenever it is full; returns
  /// the count taken, which counts the bytes handed to a flush that fell
  /// short, and stops there.
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  /// origin 0: offset from the start; 1: from the logical position; 2: the
  /// end minus offset (counting backwards). Returns the new position. A seek
  /// to the current position changes nothing and keeps the buffer. Raises
  /// Exception "Invalid seek origin = %d" for another origin, EStreamError
  /// "Seek error" when pending written bytes cannot all be passed on.
  std::int64_t Seek(std::int64_t offset, std::uint16_t origin) override;

  /// Reads the next block (up to the capacity) from the underlying stream's
  /// position; fires OnBufferFilled, also when nothing came. Returns whether
  /// any byte was read.
  virtual bool Refill();
  /// Steps the cursor back by one and stores b there. Raises EStreamError
  /// "PutBack overflow" when there is no consumed byte before the cursor.
  virtual void PutBack(std::uint8_t b);
  /// Writes the pending bytes to the underlying stream; they count as gone
  /// even when fewer were written. Fires OnBufferFlushed. Returns whether
  /// all were written.
  virtual bool Flush();

  TBufferMode Mode() const { return mode_; }
  /// Reading: cursor - limit (<= 0); writing: cursor - start (>= 0); idle: 0.
  std::int64_t PendingCount() const;

  TNotifyEvent OnBufferFilled;
  TNotifyEvent OnBufferFlushed;

 protected:
  virtual void DoBufferFilled();
  virtual void DoBufferFlushed();

 private:
  /// Where the stream ends, pending written bytes included.
  std::int64_t LogicalEnd();

  TStream& underlying_;
  std::int32_t capacity_;
  std::unique_ptr<char[]> buffer_;
  char* cursor_ = nullptr;  // none after construction and after every real seek
  char* limit_;
  TBufferMode mode_ = bmIdle;
};
