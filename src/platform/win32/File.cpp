#include "platform/File.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace platform {

namespace {
// One ReadFile call counts its bytes in 32 bits.
constexpr std::int64_t kMaxReadCall = 1 << 30;
}  // namespace

FileHandle OpenFileForRead(const std::string& path, FileShare share) {
  const DWORD mode = share == FileShare::kDenyWrite ? FILE_SHARE_READ : 0;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, mode, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  // Pipes and devices (NUL, CON, COM1...) are no files to read whole.
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

std::optional<std::string> ReadStandardInput() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string text;
  char chunk[1 << 16];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(input, chunk, sizeof chunk, &n, nullptr)) {
      // The writing end of a pipe closed: the end of the input.
      if (::GetLastError() == ERROR_BROKEN_PIPE) return text;
      return std::nullopt;
    }
    if (n == 0) return text;
    text.append(chunk, n);
  }
}

std::int64_t ReadFile(FileHandle file, void* buffer, std::int64_t count) {
  char* out = static_cast<char*>(buffer);
  std::int64_t total = 0;
  while (total < count) {
    DWORD got = 0;
    const auto ask = static_cast<DWORD>(std::min(count - total, kMaxReadCall));
    if (!::ReadFile(reinterpret_cast<HANDLE>(file), out + total, ask, &got, nullptr)) return -1;
    if (got == 0) break;
    total += got;
  }
  return total;
}

std::int64_t SeekFile(FileHandle file, std::int64_t offset, int origin) {
  const DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
  LARGE_INTEGER distance, result;
  distance.QuadPart = offset;
  if (!::SetFilePointerEx(reinterpret_cast<HANDLE>(file), distance, &result, method)) return -1;
  return result.QuadPart;
}

void CloseFile(FileHandle file) { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

FileHandle OpenFileForAppend(const std::string& path) {
  // With only the right to append, every write goes to the end of the file,
  // also when another process appends meanwhile.
  HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

bool AppendLine(FileHandle file, std::string_view line) {
  std::string text(line);
  text += "\r\n";
  DWORD written = 0;
  return ::WriteFile(reinterpret_cast<HANDLE>(file), text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) &&
         written == text.size();
}

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace platform
