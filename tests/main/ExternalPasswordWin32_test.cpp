// A password from Windows Credential Manager, as cmdkey /generic keeps it
// (UTF-16); no password command is run on Windows.

#include <windows.h>
#include <wincred.h>

#include <gtest/gtest.h>

#include "ExternalPasswordRun.h"

namespace {

TEST(ExternalPasswordWin32, TheGenericCredentialOrWhyNot) {
  std::wstring secret = L"s3cret-\u00E4";
  wchar_t target[] = L"mailshot-test";
  wchar_t user[] = L"me@x";
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = target;
  credential.UserName = user;
  credential.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
  credential.CredentialBlob = reinterpret_cast<LPBYTE>(secret.data());
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  ASSERT_TRUE(::CredWriteW(&credential, 0));
  EXPECT_EQ(ExternalPasswordOf({"/PWCRED:mailshot-test"}, 0), "s3cret-\xC3\xA4");
  ::CredDeleteW(target, CRED_TYPE_GENERIC, 0);
  EXPECT_EQ(ExternalPasswordOf({"/PWCRED:mailshot-test"}, 0),
            "The password cannot be read from the credential mailshot-test: no such generic credential.");
  EXPECT_EQ(ExternalPasswordOf({"/PWCMD:pass show mail"}, 0),
            "The password command pass show mail failed: no password command is run on Windows; keep the password "
            "in Credential Manager (/PWCRED).");
}

}  // namespace
