#pragma once
// Files, as the program needs them: read-only opening with a sharing mode,
// reading, seeking and an existence test; a text file to append lines to;
// a lock that processes take in turn, and a file replaced whole.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
/// True when path names an existing file; a directory does not count.
bool FileExists(const std::string& path);

/// The whole standard input, read to its end (a terminal: until the user
/// ends it); nullopt when the process has none or a read fails.
std::optional<std::string> ReadStandardInput();

/// Opens path for appending, creating it when missing; other processes may
/// read and append meanwhile. kInvalidFile on failure (no such folder, no
/// right to write, or not a regular file). Never waits.
FileHandle OpenFileForAppend(const std::string& path);
/// Writes line and the system's line end (CR LF on Windows, LF elsewhere) at
/// the end of the file in one write; false when not all of it was written.
bool AppendLine(FileHandle file, std::string_view line);

/// Opens path (creating it when missing; on POSIX with mode 0600) and takes
/// the exclusive lock on it, without waiting. Returns the handle that
/// holds the lock until CloseFile; kInvalidFile when another handle (in
/// any process) holds it, and then heldElsewhere is true, or when the file
/// cannot be opened, and then heldElsewhere is false. (flock on POSIX,
/// LockFileEx on Windows: the lock ends with its holder's process too.)
FileHandle TryLockFile(const std::string& path, bool& heldElsewhere);

/// Replaces the content of path with content as one step: a new file
/// beside it is written and flushed, then renamed over it, so that a reader
/// finds the old content or the new, never part of either, and a failure
/// leaves the old. The file keeps its permissions; a file made anew is
/// readable by its owner only on POSIX (0600) and has its folder's on
/// Windows. Returns empty on success, else the system's reason.
std::string ReplaceFileContent(const std::string& path, std::string_view content);

}  // namespace platform
