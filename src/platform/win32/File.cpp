#include "platform/File.h"

#include <windows.h>

namespace platform {

FileHandle OpenFileForRead(const std::string& path, FileShare share) {
  const DWORD mode = share == FileShare::kDenyWrite ? FILE_SHARE_READ : 0;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, mode, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

std::int64_t ReadFile(FileHandle file, void* buffer, std::int64_t count) {
  DWORD got = 0;
  if (!::ReadFile(reinterpret_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &got, nullptr)) return -1;
  return got;
}

std::int64_t SeekFile(FileHandle file, std::int64_t offset, int origin) {
  const DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
  LARGE_INTEGER distance, result;
  distance.QuadPart = offset;
  if (!::SetFilePointerEx(reinterpret_cast<HANDLE>(file), distance, &result, method)) return -1;
  return result.QuadPart;
}

void CloseFile(FileHandle file) { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace platform
