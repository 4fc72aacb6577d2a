#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

namespace {
// Linux hands out at most about 2 GiB per read call.
constexpr std::int64_t kMaxReadCall = 1 << 30;
}  // namespace

// POSIX has no mandatory sharing modes; other processes are not kept out.
FileHandle OpenFileForRead(const std::string& path, FileShare) {
  int fd;
  // Without O_NONBLOCK the open of a FIFO would wait for a writer.
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidFile;
  struct stat info {};
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return kInvalidFile;
  }
  return fd;
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

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

}  // namespace platform
