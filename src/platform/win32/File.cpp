#include "platform/File.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace platform {

namespace {
// One ReadFile call counts its bytes in 32 bits.
constexpr std::int64_t kMaxReadCall = 1 << 30;
/// Between a file's name and the six characters that make the name of its new file unique.
constexpr std::string_view kReplacementMark = ".mailshot-";
constexpr std::string_view kNotTheFileRead = "another file has taken its place since it was read";

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

FileIdentity IdentityOf(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file, &info)) return {};
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

/// Writes all of data; false (the reason in GetLastError) when it could not.
bool WriteAll(HANDLE file, std::string_view data) {
  DWORD written = 0;
  return ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
         written == data.size();
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

namespace {
/// Everything input gives until its end; nullopt when a read fails.
std::optional<std::string> ReadToEnd(HANDLE input) {
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
}  // namespace

std::optional<std::string> ReadStandardInput() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return std::nullopt;
  return ReadToEnd(input);
}

std::optional<std::string> ReadPipe(const std::string& path, int) {
  // A named pipe opens only while its server waits for a client: no wait.
  const HANDLE pipe = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::string> text;
  if (::GetFileType(pipe) == FILE_TYPE_PIPE) text = ReadToEnd(pipe);
  ::CloseHandle(pipe);
  return text;
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

std::optional<FileState> StateOfFile(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info)) return std::nullopt;
  const auto join = [](DWORD high, DWORD low) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
  };
  return FileState{join(info.nFileSizeHigh, info.nFileSizeLow),
                   join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime)};
}

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

FileHandle TryLockFile(const std::string& path, LockState& state) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  // Another user's lock file may be readable only; LockFileEx takes that too.
  if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    h = ::CreateFileA(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) {
    state = ::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? LockState::kCannotMake
                                                                           : LockState::kCannotOpen;
    return kInvalidFile;
  }
  OVERLAPPED start{};
  if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &start)) {
    state = LockState::kTaken;
    return reinterpret_cast<FileHandle>(h);
  }
  state = ::GetLastError() == ERROR_LOCK_VIOLATION ? LockState::kHeldElsewhere : LockState::kCannotOpen;
  ::CloseHandle(h);
  return kInvalidFile;
}

std::string ResolvedPath(const std::string& path) {
  // ReplaceFile needs the folder: under Wine it fails for a bare file name.
  char full[MAX_PATH];
  const DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return length > 0 && length < sizeof full ? std::string(full, length) : path;
}

std::optional<std::string> FinalPath(const std::string& path) {
  // No access asked: the handle reads nothing and opens a folder too.
  HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::string final(MAX_PATH, '\0');
  DWORD length = ::GetFinalPathNameByHandleA(h, final.data(), static_cast<DWORD>(final.size()), VOLUME_NAME_DOS);
  if (length >= final.size()) {  // too long for the buffer: length is the size it takes
    final.resize(length);
    length = ::GetFinalPathNameByHandleA(h, final.data(), static_cast<DWORD>(final.size()), VOLUME_NAME_DOS);
  }
  ::CloseHandle(h);
  if (length == 0 || length >= final.size()) return std::nullopt;
  final.resize(length);
  // The path as the user writes it: "\\?\C:\dir" is "C:\dir", "\\?\UNC\host\share" "\\host\share".
  constexpr std::string_view kLongPrefix = "\\\\?\\", kLongUncPrefix = "\\\\?\\UNC\\";
  if (final.starts_with(kLongUncPrefix)) return "\\" + final.substr(kLongUncPrefix.size() - 1);
  if (final.starts_with(kLongPrefix)) return final.substr(kLongPrefix.size());
  return final;
}

FileHandle OpenFileForReadNoFollow(const std::string& path, FileIdentity& identity) {
  const FileHandle file = OpenFileForRead(path, FileShare::kDenyWrite);
  if (file != kInvalidFile) identity = IdentityOf(reinterpret_cast<HANDLE>(file));
  return file;
}

bool InSharedFolder(const std::string&) { return false; }

void FileReplacement::Discard() {
  if (file_ == kInvalidFile) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(file_));
  ::DeleteFileA(temporary_.c_str());
  file_ = kInvalidFile;
}

std::string FileReplacement::Prepare(const std::string& path, std::size_t room) {
  Discard();
  path_ = path;
  static unsigned count = 0;
  char unique[7];
  const auto number = static_cast<unsigned>((::GetCurrentProcessId() * 64 + ++count) & 0xFFFFFF);
  std::snprintf(unique, sizeof unique, "%06X", number);
  temporary_ = path + std::string(kReplacementMark) + unique;
  HANDLE h = ::CreateFileA(temporary_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return SystemErrorText(::GetLastError());
  file_ = reinterpret_cast<FileHandle>(h);
  const std::string zeros(room, '\0');
  if (WriteAll(h, zeros) && ::FlushFileBuffers(h)) return {};
  const DWORD error = ::GetLastError();
  Discard();
  return SystemErrorText(error);
}

std::string FileReplacement::Commit(std::string_view content, const FileIdentity& identity) {
  if (file_ == kInvalidFile) return SystemErrorText(ERROR_INVALID_HANDLE);
  const HANDLE h = reinterpret_cast<HANDLE>(file_);
  LARGE_INTEGER start{};
  bool ok = ::SetFilePointerEx(h, start, nullptr, FILE_BEGIN) && WriteAll(h, content) && ::SetEndOfFile(h) &&
            ::FlushFileBuffers(h);
  DWORD error = ok ? 0 : ::GetLastError();
  ::CloseHandle(h);
  file_ = kInvalidFile;
  if (ok) {
    FileIdentity now;
    const FileHandle old = OpenFileForReadNoFollow(path_, now);
    if (old != kInvalidFile) CloseFile(old);
    if (old == kInvalidFile || !(now == identity)) {
      ::DeleteFileA(temporary_.c_str());
      return std::string(kNotTheFileRead);
    }
    // ReplaceFile keeps the old file's security and attributes.
    ok = ::ReplaceFileA(path_.c_str(), temporary_.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                        nullptr);
    error = ok ? 0 : ::GetLastError();
  }
  if (ok) return {};
  ::DeleteFileA(temporary_.c_str());
  return SystemErrorText(error);
}

void RemoveStrayReplacements(const std::string& path) {
  const std::string pattern = path + std::string(kReplacementMark) + "*";
  const std::size_t separator = path.find_last_of("\\/");
  const std::string folder = separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
  const std::size_t nameLength = path.size() - folder.size() + kReplacementMark.size() + 6;
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = found.cFileName;
    if (name.size() == nameLength && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      ::DeleteFileA((folder + name).c_str());
    }
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
}

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace platform
