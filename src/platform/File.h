#pragma once
// Files, as the program needs them: read-only opening with a sharing mode,
// reading, seeking and an existence test; a text file to append lines to;
// a lock that processes take in turn, and a file replaced whole, told
// apart from another put in its place.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

/// What other processes may do with a file while it is open here.
enum class FileShare {
  kDenyWrite,  // others may read, not write (the body, recipient and attachment lists)
  kDenyAll,    // no sharing: a file another process holds open cannot be opened
};

using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

/// Opens path for reading; kInvalidFile on failure (missing, held open, or
/// not a regular file: a directory, a FIFO or pipe, a device). Never waits.
FileHandle OpenFileForRead(const std::string& path, FileShare share);
/// Reads count bytes, fewer only when the file ends first; returns the count
/// read (0 at the end) or -1 when a read fails, whatever came before it.
std::int64_t ReadFile(FileHandle file, void* buffer, std::int64_t count);
/// origin 0 from the beginning, 1 from the current position, 2 from the end;
/// returns the new position or -1 on error.
std::int64_t SeekFile(FileHandle file, std::int64_t offset, int origin);
void CloseFile(FileHandle file);
/// What tells that an open file was written to: its size and the time of its
/// last change, as exact as the file system keeps it.
struct FileState {
  std::int64_t size = 0;
  std::int64_t modified = 0;  // in the system's own units
  bool operator==(const FileState&) const = default;
};
/// The state of an open file; nullopt when the system cannot tell it.
std::optional<FileState> StateOfFile(FileHandle file);
/// True when path names an existing file; a directory does not count.
bool FileExists(const std::string& path);

/// The whole standard input, read to its end (a terminal: until the user
/// ends it); nullopt when the process has none or a read fails.
std::optional<std::string> ReadStandardInput();
/// The whole of the FIFO or pipe that path names, read to its end: for a
/// body or a list that has no size to read by. A FIFO that no writer opens
/// within waitMilliseconds gives nullopt, as do a path that names no FIFO
/// or pipe and a failed read.
std::optional<std::string> ReadPipe(const std::string& path, int waitMilliseconds);

/// Opens path for appending, creating it when missing; other processes may
/// read and append meanwhile. kInvalidFile on failure (no such folder, no
/// right to write, or not a regular file). Never waits.
FileHandle OpenFileForAppend(const std::string& path);
/// Writes line and the system's line end (CR LF on Windows, LF elsewhere) at
/// the end of the file in one write; false when not all of it was written.
bool AppendLine(FileHandle file, std::string_view line);

/// What tells a file apart whatever its name: its device and inode on POSIX,
/// its volume and file index on Windows.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

/// The file that path names, every link on the way resolved, as a full
/// path: the one name under which two names of one file are the same;
/// path itself when it cannot be resolved (no such file).
std::string ResolvedPath(const std::string& path);
/// The full path of the file or folder that path names, every link and
/// junction on the way resolved, as the system spells it (realpath on
/// POSIX, GetFinalPathNameByHandle on Windows): where it really lies.
/// nullopt when it names nothing. Reads nothing of the file.
std::optional<std::string> FinalPath(const std::string& path);
/// Opens path for reading as OpenFileForRead does, except that a link as its
/// last component is not followed (it is no file then), and tells the
/// file's identity.
FileHandle OpenFileForReadNoFollow(const std::string& path, FileIdentity& identity);
/// True when others than its owner may put another file in the place of
/// path: on POSIX its folder is writable by every user and lacks the sticky
/// bit. Always false on Windows, where a folder's rights are not read here.
bool InSharedFolder(const std::string& path);

/// What TryLockFile found.
enum class LockState {
  kTaken,          // the lock is held through the handle returned
  kHeldElsewhere,  // another handle (in any process) holds it
  kCannotMake,     // there is no lock file and none can be made (a folder without the right to write)
  kCannotOpen,     // the lock file is there but cannot be opened (another user's, unreadable)
};

/// Opens path (creating it when missing; on POSIX with mode 0644, so that
/// other users can lock it too, and never following a link) and takes the
/// exclusive lock on it, without waiting; a lock file that can be read but
/// not written (another user's) is locked all the same. Returns the handle
/// that holds the lock until CloseFile, else kInvalidFile; state tells
/// which. (flock on POSIX, LockFileEx on Windows: the lock ends with its
/// holder's process too.)
FileHandle TryLockFile(const std::string& path, LockState& state);

/// The new content of a file, written beside it and renamed over it in one
/// step, so that a reader finds the old content or the new, never part of
/// either, and a failure leaves the old. The new file is made before the
/// content is known, with room reserved, so that a full disk or a folder
/// without the right to write shows before anything is spent on the
/// content. On POSIX it is readable by its owner only (0600), whatever the
/// old file's mode, and takes the old file's owner where allowed; on
/// Windows it takes the old file's security. Removed unless renamed.
class FileReplacement {
 public:
  FileReplacement() = default;
  ~FileReplacement() { Discard(); }
  FileReplacement(FileReplacement&& other) noexcept
      : file_(std::exchange(other.file_, kInvalidFile)),
        path_(std::move(other.path_)),
        temporary_(std::move(other.temporary_)) {}
  FileReplacement& operator=(FileReplacement&& other) noexcept {
    if (this != &other) {
      Discard();
      file_ = std::exchange(other.file_, kInvalidFile);
      path_ = std::move(other.path_);
      temporary_ = std::move(other.temporary_);
    }
    return *this;
  }

  /// Makes the new file beside path (a resolved path, see ResolvedPath) and
  /// writes room bytes to it, flushed. Returns empty, else the system's reason.
  std::string Prepare(const std::string& path, std::size_t room);
  bool Prepared() const { return file_ != kInvalidFile; }
  /// Writes content to the prepared file, flushed, and renames it over
  /// path, which must still be the file of identity (not a link in its
  /// place): else nothing is renamed and the reason tells. Returns empty,
  /// else the reason.
  std::string Commit(std::string_view content, const FileIdentity& identity);

 private:
  /// Closes and removes the new file, if any.
  void Discard();

  FileHandle file_ = kInvalidFile;
  std::string path_;
  std::string temporary_;
};

/// Removes the new files of FileReplacement that a run killed before their
/// rename left beside path (a resolved path); call it holding path's lock.
void RemoveStrayReplacements(const std::string& path);

}  // namespace platform
