#include "platform/File.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace platform {

namespace {
// One ReadFile call counts its bytes in 32 bits.
constexpr std::int64_t kMaxReadCall = 1 << 30;

/// The system's words for error, or its number where it has none.
std::string SystemErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string words = length > 0 ? std::string(text, length) : "error " + std::to_string(error);
  ::LocalFree(text);
  while (!words.empty() && (words.back() == '\r' || words.back() == '\n' || words.back() == '.')) words.pop_back();
  return words;
}
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

FileHandle TryLockFile(const std::string& path, bool& heldElsewhere) {
  heldElsewhere = false;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
  OVERLAPPED start{};
  if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &start)) {
    return reinterpret_cast<FileHandle>(h);
  }
  heldElsewhere = ::GetLastError() == ERROR_LOCK_VIOLATION;
  ::CloseHandle(h);
  return kInvalidFile;
}

std::string ReplaceFileContent(const std::string& name, std::string_view content) {
  // ReplaceFile needs the folder: under Wine it fails for a bare file name.
  char full[MAX_PATH];
  const DWORD length = ::GetFullPathNameA(name.c_str(), sizeof full, full, nullptr);
  const std::string path = length > 0 && length < sizeof full ? std::string(full, length) : name;
  static unsigned count = 0;
  const std::string temporary =
      path + ".new-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++count);
  HANDLE h = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return SystemErrorText(::GetLastError());
  DWORD written = 0;
  bool ok = ::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
            written == content.size() && ::FlushFileBuffers(h);
  DWORD error = ok ? 0 : ::GetLastError();
  ::CloseHandle(h);
  if (ok) {
    // ReplaceFile keeps the old file's security and attributes; a file made
    // anew takes its folder's.
    ok = FileExists(path) ? ::ReplaceFileA(path.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                           nullptr, nullptr)
                          : ::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH);
    error = ok ? 0 : ::GetLastError();
  }
  if (ok) return {};
  ::DeleteFileA(temporary.c_str());
  return SystemErrorText(error);
}

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace platform
