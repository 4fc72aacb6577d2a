#include "core/Stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/Exceptions.h"
#include "platform/Memory.h"

std::int64_t TStream::Size() {
  const std::int64_t saved = Seek(0, soFromCurrent);
  const std::int64_t size = Seek(0, soFromEnd);
  Seek(saved, soFromBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  constexpr std::int64_t kChunk = 64 * 1024;
  std::unique_ptr<char[]> chunk(new char[kChunk]);
  const std::int64_t total = count;
  while (count > 0) {
    const std::int64_t n = std::min(count, kChunk);
    source.ReadBuffer(chunk.get(), n);
    WriteBuffer(chunk.get(), n);
    count -= n;
  }
  return total;
}

char* TStream::RoomInPlace(std::int64_t) { return nullptr; }

void TStream::CommitInPlace(std::int64_t) {}

// ---------------------------------------------------------------------------

TMemoryStream::~TMemoryStream() { std::free(data_); }

void TMemoryStream::Reserve(std::int64_t capacity) {
  if (capacity <= capacity_) return;
  // realloc lets large blocks grow in place (by remapping) instead of being
  // copied into a fresh block twice their size.
  void* grown = std::realloc(data_, static_cast<size_t>(capacity));
  if (!grown) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
  platform::AdviseLargeBlock(data_, static_cast<size_t>(capacity_));
}

void TMemoryStream::SetSize(std::int64_t size) {
  Reserve(size);
  size_ = size;
  position_ = std::min(position_, size_);
}

void TMemoryStream::Clear() {
  std::free(data_);
  data_ = nullptr;
  size_ = capacity_ = position_ = 0;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  const std::int64_t n = std::max<std::int64_t>(0, std::min(count, size_ - position_));
  if (n > 0) std::memcpy(buffer, data_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::memcpy(RoomInPlace(count), buffer, static_cast<size_t>(count));
  CommitInPlace(count);
  return count;
}

char* TMemoryStream::RoomInPlace(std::int64_t count) {
  const std::int64_t end = position_ + std::max<std::int64_t>(count, 0);
  if (end > capacity_) Reserve(std::max(end, capacity_ + capacity_ / 2 + 4096));
  return data_ + position_;
}

void TMemoryStream::CommitInPlace(std::int64_t count) {
  position_ += std::max<std::int64_t>(count, 0);
  size_ = std::max(size_, position_);
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, std::uint16_t origin) {
  switch (origin) {
    case soFromBeginning: position_ = offset; break;
    case soFromCurrent: position_ += offset; break;
    case soFromEnd: position_ = size_ + offset; break;
    default: break;
  }
  position_ = std::max<std::int64_t>(position_, 0);
  return position_;
}

// ---------------------------------------------------------------------------

TFileStream::TFileStream(const std::string& path, platform::FileShare share)
    : file_(platform::OpenFileForRead(path, share)) {
  if (file_ == platform::kInvalidFile) throw EFOpenError(FillPlaceholder(kCannotOpenFile, path));
}

TFileStream::~TFileStream() { platform::CloseFile(file_); }

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  char* out = static_cast<char*>(buffer);
  std::int64_t total = 0;
  while (count > 0) {
    const std::int64_t offset = position_ - block_start_;
    if (offset >= 0 && offset < block_fill_) {
      const std::int64_t n = std::min(count, block_fill_ - offset);
      std::memcpy(out, block_.get() + offset, static_cast<size_t>(n));
      out += n;
      position_ += n;
      total += n;
      count -= n;
      continue;
    }
    if (platform::SeekFile(file_, position_, soFromBeginning) < 0) throw EStreamError("Stream read error");
    if (count >= kReadAhead) {
      // Large reads go straight to the caller.
      const std::int64_t n = platform::ReadFile(file_, out, count);
      if (n < 0) throw EStreamError("Stream read error");
      position_ += n;
      return total + n;
    }
    if (!block_) block_.reset(new char[kReadAhead]);
    const std::int64_t n = platform::ReadFile(file_, block_.get(), kReadAhead);
    if (n < 0) throw EStreamError("Stream read error");
    block_start_ = position_;
    block_fill_ = n;
    if (n == 0) break;
  }
  return total;
}

std::int64_t TFileStream::Write(const void*, std::int64_t) { return 0; }

std::int64_t TFileStream::Seek(std::int64_t offset, std::uint16_t origin) {
  switch (origin) {
    case soFromBeginning: position_ = offset; break;
    case soFromCurrent: position_ += offset; break;
    case soFromEnd: {
      const std::int64_t end = platform::SeekFile(file_, 0, soFromEnd);
      if (end < 0) throw EStreamError("Seek error");
      position_ = end + offset;
      break;
    }
    default: break;
  }
  return position_;
}
