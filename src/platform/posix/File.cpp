#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {

namespace {
// Linux hands out at most about 2 GiB per read call.
constexpr std::int64_t kMaxReadCall = 1 << 30;
constexpr mode_t kNewFileMode = 0644;
/// A lock file holds nothing; every user who can read it can lock it.
constexpr mode_t kLockFileMode = 0644;
/// Between a file's name and the six characters that make the name of its new file unique.
constexpr std::string_view kReplacementMark = ".mailshot-";
constexpr std::string_view kNotTheFileRead = "another file has taken its place since it was read";

/// Opens path with flags, which include O_NONBLOCK so that a FIFO never makes
/// the open wait; keeps only a regular file, and switches it back to blocking.
FileHandle OpenRegularFile(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, kNewFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidFile;
  struct stat info {};
  const int status = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || status < 0 ||
      ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return kInvalidFile;
  }
  return fd;
}

FileIdentity IdentityOf(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return {};
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

/// Writes all of data; false (errno set) when it could not.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}
}  // namespace

// POSIX has no mandatory sharing modes; other processes are not kept out.
FileHandle OpenFileForRead(const std::string& path, FileShare) { return OpenRegularFile(path, O_RDONLY); }

namespace {
/// Everything fd gives until its end; nullopt when a read fails.
std::optional<std::string> ReadToEnd(int fd) {
  std::string text;
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
}
}  // namespace

std::optional<std::string> ReadStandardInput() { return ReadToEnd(STDIN_FILENO); }

std::optional<std::string> ReadPipe(const std::string& path, int waitMilliseconds) {
  // Nothing else is opened: opening a device may do something.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) return std::nullopt;
  // Opened without waiting for a writer, which may never come: only its
  // first bytes (or its close) within the wait make the FIFO worth reading.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> text;
  pollfd wait{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&wait, 1, waitMilliseconds);
  } while (ready < 0 && errno == EINTR);
  const int status = ::fcntl(fd, F_GETFL);
  // The name may have been given to another file meanwhile.
  if (::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode) && ready > 0 && status >= 0 &&
      ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == 0) {
    text = ReadToEnd(fd);
  }
  ::close(fd);
  return text;
}

FileHandle OpenFileForAppend(const std::string& path) {
  return OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT);
}

bool AppendLine(FileHandle file, std::string_view line) {
  std::string text(line);
  text += '\n';
  ssize_t n;
  do {
    n = ::write(static_cast<int>(file), text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(text.size());
}

std::int64_t ReadFile(FileHandle file, void* buffer, std::int64_t count) {
  char* out = static_cast<char*>(buffer);
  std::int64_t total = 0;
  while (total < count) {
    const auto ask = static_cast<size_t>(std::min(count - total, kMaxReadCall));
    const ssize_t n = ::read(static_cast<int>(file), out + total, ask);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    total += n;
  }
  return total;
}

std::int64_t SeekFile(FileHandle file, std::int64_t offset, int origin) {
  const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
  return ::lseek(static_cast<int>(file), static_cast<off_t>(offset), whence);
}

void CloseFile(FileHandle file) { ::close(static_cast<int>(file)); }

std::optional<FileState> StateOfFile(FileHandle file) {
  struct stat status {};
  if (::fstat(static_cast<int>(file), &status) != 0) return std::nullopt;
  return FileState{static_cast<std::int64_t>(status.st_size),
                   static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

FileHandle TryLockFile(const std::string& path, LockState& state) {
  constexpr int kFlags = O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | kFlags, kLockFileMode);
  // Another user's lock file (root's, say) may be readable only: flock
  // takes a read-only descriptor too, and skipping the lock would let two
  // runs spend one refresh token.
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | kFlags);
  if (fd < 0) {
    struct stat info {};
    // A link in its place (never followed) is there all the same: no lock is made past it.
    state = ::lstat(path.c_str(), &info) != 0 ? LockState::kCannotMake : LockState::kCannotOpen;
    return kInvalidFile;
  }
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    state = LockState::kTaken;
    return fd;
  }
  state = errno == EWOULDBLOCK ? LockState::kHeldElsewhere : LockState::kCannotOpen;
  ::close(fd);
  return kInvalidFile;
}

std::string ResolvedPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  const std::string target = resolved != nullptr ? resolved : path;
  std::free(resolved);
  return target;
}

std::optional<std::string> FinalPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string final(resolved);
  std::free(resolved);
  return final;
}

FileHandle OpenFileForReadNoFollow(const std::string& path, FileIdentity& identity) {
  const FileHandle file = OpenRegularFile(path, O_RDONLY | O_NOFOLLOW);
  if (file == kInvalidFile) return file;
  identity = IdentityOf(static_cast<int>(file));
  return file;
}

bool InSharedFolder(const std::string& path) {
  struct stat info {};
  const std::string folder = FolderOf(path);
  return ::stat(folder.c_str(), &info) == 0 && (info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0;
}

void FileReplacement::Discard() {
  if (file_ == kInvalidFile) return;
  ::close(static_cast<int>(file_));
  ::unlink(temporary_.c_str());
  file_ = kInvalidFile;
}

std::string FileReplacement::Prepare(const std::string& path, std::size_t room) {
  Discard();
  path_ = path;
  temporary_ = path + std::string(kReplacementMark) + "XXXXXX";
  const int fd = ::mkostemp(temporary_.data(), O_CLOEXEC);  // made with mode 0600
  if (fd < 0) return std::strerror(errno);
  file_ = fd;
  struct stat old {};
  // Where allowed (root replacing a user's file) the file stays its owner's;
  // the mode stays 0600 whatever the old one was.
  if (::stat(path.c_str(), &old) == 0) static_cast<void>(::fchown(fd, old.st_uid, old.st_gid));
  const std::string zeros(room, '\0');
  const int error = WriteAll(fd, zeros) ? (::fsync(fd) == 0 ? 0 : errno) : errno;
  if (error == 0) return {};
  Discard();
  return std::strerror(error != 0 ? error : EIO);
}

std::string FileReplacement::Commit(std::string_view content, const FileIdentity& identity) {
  if (file_ == kInvalidFile) return std::strerror(EBADF);
  const int fd = static_cast<int>(file_);
  int error = ::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, content) &&
                      ::ftruncate(fd, static_cast<off_t>(content.size())) == 0 && ::fsync(fd) == 0
                  ? 0
                  : errno;
  if (error == 0) {
    const int old = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool same = old >= 0 && IdentityOf(old) == identity;
    if (old >= 0) ::close(old);
    if (!same) {
      Discard();
      return std::string(kNotTheFileRead);
    }
    error = ::rename(temporary_.c_str(), path_.c_str()) == 0 ? 0 : errno;
  }
  if (error == 0) {
    ::close(fd);
    file_ = kInvalidFile;
    return {};
  }
  Discard();
  return std::strerror(error != 0 ? error : EIO);
}

void RemoveStrayReplacements(const std::string& path) {
  const std::string folder = FolderOf(path);
  const std::string prefix = path.substr(path.rfind('/') + 1) + std::string(kReplacementMark);
  DIR* entries = ::opendir(folder.c_str());
  if (entries == nullptr) return;
  while (const dirent* entry = ::readdir(entries)) {
    const std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) continue;
    struct stat info {};
    const std::string stray = folder + "/" + std::string(name);
    // Only a file this user's run made: another user's is not ours to remove.
    if (::lstat(stray.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
      ::unlink(stray.c_str());
    }
  }
  ::closedir(entries);
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace platform
