#include "platform/Credentials.h"

#include <windows.h>
#include <wincred.h>

namespace platform {

std::optional<std::string> StoredCredential(const std::string& target, std::string& problem) {
  PCREDENTIALA credential = nullptr;
  if (!::CredReadA(target.c_str(), CRED_TYPE_GENERIC, 0, &credential)) {
    const DWORD error = ::GetLastError();
    problem =
        error == ERROR_NOT_FOUND ? "no such generic credential" : "CredRead failed: error " + std::to_string(error);
    return std::nullopt;
  }
  // cmdkey and the Control Panel keep the password as UTF-16.
  const auto* wide = reinterpret_cast<const wchar_t*>(credential->CredentialBlob);
  const int units = static_cast<int>(credential->CredentialBlobSize / sizeof(wchar_t));
  std::string password;
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (size > 0) {
    password.resize(static_cast<std::size_t>(size));
    ::WideCharToMultiByte(CP_UTF8, 0, wide, units, password.data(), size, nullptr, nullptr);
  }
  ::SecureZeroMemory(credential->CredentialBlob, credential->CredentialBlobSize);
  ::CredFree(credential);
  return password;
}

std::optional<std::string> CommandOutputLine(const std::vector<std::string>&, int, std::string& problem) {
  problem = "no password command is run on Windows; keep the password in Credential Manager (/PWCRED)";
  return std::nullopt;
}

}  // namespace platform
