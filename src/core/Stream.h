#pragma once
// Streams: the abstract stream with Read, Write and Seek, from which position
// and size are derived; a memory stream and a read-only file stream.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/Component.h"
#include "platform/File.h"

/// Seek origins.
enum : std::uint16_t { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

/// Abstract stream. Position and Size are built on Seek alone, so a derived
/// stream that buffers sees exactly the calls it must answer.
class TStream : public TObject {
 public:
  /// Reads up to count bytes; returns how many were read (0 at the end).
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  /// Writes up to count bytes; returns how many were taken.
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  /// Repositions; returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, std::uint16_t origin) = 0;

  /// Seek(0, soFromCurrent).
  std::int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, soFromBeginning); }
  /// Seek(0, soFromCurrent), Seek(0, soFromEnd), then back to the saved position.
  std::int64_t Size();

  /// Reads exactly count bytes or raises EStreamError "Stream read error".
  void ReadBuffer(void* buffer, std::int64_t count);
  /// Writes exactly count bytes or raises EStreamError "Stream write error".
  void WriteBuffer(const void* buffer, std::int64_t count);
  /// Copies count bytes from source's position on; count 0 copies all of
  /// source from its start. Returns the count copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);

  /// For a stream held in memory: where count bytes can be written in place
  /// at the position, so that a writer need not build them elsewhere first;
  /// CommitInPlace then counts them as written. nullptr (the default) for a
  /// stream that offers no such room: Write it is.
  virtual char* RoomInPlace(std::int64_t count);
  /// Counts count bytes written into RoomInPlace's room as written: the
  /// position moves on and the size follows. Only after RoomInPlace gave
  /// room for at least count bytes, with nothing else between.
  virtual void CommitInPlace(std::int64_t count);
};

/// A stream held in one growing block of memory.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, std::uint16_t origin) override;
  /// Grows the block as Write would.
  char* RoomInPlace(std::int64_t count) override;
  void CommitInPlace(std::int64_t count) override;

  /// Sets the size; the position is kept but not beyond the new end.
  void SetSize(std::int64_t size);
  /// Makes room for capacity bytes without changing the size.
  void Reserve(std::int64_t capacity);
  void Clear();
  const char* Memory() const { return data_; }
  std::int64_t DataSize() const { return size_; }
  std::string ToString() const { return std::string(data_ ? data_ : "", static_cast<size_t>(size_)); }

 private:
  char* data_ = nullptr;
  std::int64_t size_ = 0;
  std::int64_t capacity_ = 0;
  std::int64_t position_ = 0;
};

/// A file opened read-only. Small reads are served from a read-ahead block,
/// so a reader that takes 45 bytes at a time does not make a system call
/// for each of them.
class TFileStream : public TStream {
 public:
  /// Opens path; raises EFOpenError "Cannot open file %s" with path.
  TFileStream(const std::string& path, platform::FileShare share);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  /// A read-only stream takes nothing: always 0.
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, std::uint16_t origin) override;
  /// The open file's size and time of its last change; nullopt when unknown.
  std::optional<platform::FileState> State() const { return platform::StateOfFile(file_); }

  static constexpr std::int64_t kReadAhead = 64 * 1024;

 private:
  platform::FileHandle file_;
  std::unique_ptr<char[]> block_;
  std::int64_t block_start_ = 0;  // file position of block_[0]
  std::int64_t block_fill_ = 0;   // valid bytes in block_
  std::int64_t position_ = 0;     // logical position
};
