#include "encoding/QxS_Stream.h"

#include <algorithm>
#include <string>

#include "core/Exceptions.h"
#include "encoding/QxS_Huge.h"

std::int32_t DefaultBufferSize = 32768;

namespace {
char* Step(char* address, std::int64_t n) { return static_cast<char*>(HugeOffset(address, n)); }
}  // namespace

TS_BufferStream::TS_BufferStream(TStream& underlying)
    : underlying_(underlying),
      // A zero-sized buffer would make every Write flush nothing forever.
      capacity_(std::max<std::int32_t>(DefaultBufferSize, 1)),
      buffer_(new char[static_cast<std::size_t>(capacity_)]),
      limit_(Step(buffer_.get(), capacity_)) {}

TS_BufferStream::~TS_BufferStream() {
  if (mode_ != bmWriting) return;
  try {
    Flush();
  } catch (...) {
    // A destructor has nobody to report to; the bytes are lost either way.
  }
}

std::int64_t TS_BufferStream::PendingCount() const {
  switch (mode_) {
    case bmReading: return cursor_ - limit_;
    case bmWriting: return cursor_ - buffer_.get();
    default: return 0;
  }
}

bool TS_BufferStream::Refill() {
  // A misbehaving underlying stream must not move the window outside the buffer.
  const std::int64_t n = std::clamp<std::int64_t>(underlying_.Read(buffer_.get(), capacity_), 0, capacity_);
  cursor_ = buffer_.get();
  limit_ = Step(buffer_.get(), n);
  mode_ = n != 0 ? bmReading : bmIdle;
  DoBufferFilled();
  return n != 0;
}

bool TS_BufferStream::Flush() {
  bool complete = true;
  // Only written bytes are passed on: flushing while reading would write the
  // consumed read-ahead back into the underlying stream and lose the window.
  if (mode_ == bmWriting) {
    const std::int64_t n = cursor_ - buffer_.get();
    const std::int64_t written = n > 0 ? underlying_.Write(buffer_.get(), n) : 0;
    cursor_ = buffer_.get();
    mode_ = bmIdle;
    complete = written == n;
  }
  DoBufferFlushed();
  return complete;
}

void TS_BufferStream::PutBack(std::uint8_t b) {
  // Only a byte consumed from the current fill can be put back; elsewhere the
  // byte would be dropped by the next read or overwrite pending output.
  if (mode_ != bmReading || cursor_ == buffer_.get()) throw EStreamError(std::string(kPutBackOverflow));
  cursor_ = Step(cursor_, -1);
  *cursor_ = static_cast<char>(b);
}

std::int64_t TS_BufferStream::Read(void* buffer, std::int64_t count) {
  if (mode_ != bmReading) {
    // Written bytes that never arrive must not vanish without a word.
    if (mode_ == bmWriting && !Flush()) throw EStreamError(std::string(kFlushBeforeReadFailed));
    cursor_ = limit_;
  }
  char* destination = static_cast<char*>(buffer);
  std::int64_t total = 0;
  while (count > 0) {
    if (cursor_ == limit_ && !Refill()) break;
    const std::int64_t k = std::min<std::int64_t>(count, limit_ - cursor_);
    HugeMove(destination, cursor_, k);
    cursor_ = Step(cursor_, k);
    destination = Step(destination, k);
    count -= k;
    total += k;
  }
  return total;
}

std::int64_t TS_BufferStream::Write(const void* buffer, std::int64_t count) {
  if (mode_ != bmWriting) {
    if (mode_ == bmReading) underlying_.SetPosition(underlying_.Position() + PendingCount());
    cursor_ = buffer_.get();
    limit_ = Step(buffer_.get(), capacity_);
  }
  const void* source = buffer;
  std::int64_t total = 0;
  while (count > 0) {
    const std::int64_t k = std::min<std::int64_t>(count, limit_ - cursor_);
    HugeMove(cursor_, source, k);
    cursor_ = Step(cursor_, k);
    source = HugeOffset(source, k);
    count -= k;
    total += k;
    mode_ = bmWriting;
    if (cursor_ == limit_ && !Flush()) break;
  }
  // Also after an empty write from reading: nothing is pending then.
  if (cursor_ == buffer_.get()) mode_ = bmIdle;
  return total;
}

std::int64_t TS_BufferStream::LogicalEnd() {
  const std::int64_t end = underlying_.Size();
  if (mode_ != bmWriting) return end;
  return std::max(end, underlying_.Position() + PendingCount());
}

std::int64_t TS_BufferStream::Seek(std::int64_t offset, std::uint16_t origin) {
  const std::int64_t current = underlying_.Position() + PendingCount();
  std::int64_t target = 0;
  switch (origin) {
    case soFromBeginning: target = offset; break;
    case soFromCurrent: target = current + offset; break;
    case soFromEnd: target = LogicalEnd() - offset; break;
    default: throw Exception(FillPlaceholder(kInvalidSeekOrigin, std::to_string(origin)));
  }
  if (target == current) return target;
  if (mode_ == bmWriting && !Flush()) throw EStreamError(std::string(kSeekError));
  const std::int64_t position = underlying_.Seek(target, soFromBeginning);
  cursor_ = nullptr;
  mode_ = bmIdle;
  return position;
}

void TS_BufferStream::DoBufferFilled() {
  if (OnBufferFilled) OnBufferFilled(this);
}

void TS_BufferStream::DoBufferFlushed() {
  if (OnBufferFlushed) OnBufferFlushed(this);
}
