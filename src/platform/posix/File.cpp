#include "platform/File.h"

#include <fcntl.h>
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
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPermissionBits = 07777;

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
}  // namespace

// POSIX has no mandatory sharing modes; other processes are not kept out.
FileHandle OpenFileForRead(const std::string& path, FileShare) { return OpenRegularFile(path, O_RDONLY); }

std::optional<std::string> ReadStandardInput() {
  std::string text;
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
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

FileHandle TryLockFile(const std::string& path, bool& heldElsewhere) {
  heldElsewhere = false;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return kInvalidFile;
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return fd;
  heldElsewhere = errno == EWOULDBLOCK;
  ::close(fd);
  return kInvalidFile;
}

std::string ReplaceFileContent(const std::string& path, std::string_view content) {
  // A link is followed: the file it names is replaced, the link stays.
  char* resolved = ::realpath(path.c_str(), nullptr);
  const std::string target = resolved != nullptr ? resolved : path;
  std::free(resolved);
  std::string temporary = target + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // made with mode 0600
  if (fd < 0) return std::strerror(errno);
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) {
    ::fchmod(fd, old.st_mode & kPermissionBits);
    static_cast<void>(::fchown(fd, old.st_uid, old.st_gid));  // where allowed: root replacing a user's file
  }
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const int error = done < content.size() ? errno : ::fsync(fd) != 0 ? errno : 0;
  ::close(fd);
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) == 0) return {};
  const int failure = error != 0 ? error : errno;
  ::unlink(temporary.c_str());
  return std::strerror(failure != 0 ? failure : EIO);
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace platform
