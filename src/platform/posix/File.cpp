#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

// POSIX has no mandatory sharing modes; other processes are not kept out.
FileHandle OpenFileForRead(const std::string& path, FileShare) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidFile;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return kInvalidFile;
  }
  return fd;
}

std::int64_t ReadFile(FileHandle file, void* buffer, std::int64_t count) {
  ssize_t n;
  do {
    n = ::read(static_cast<int>(file), buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n;
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
