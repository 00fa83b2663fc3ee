#include <windows.h>
// Needs the types windows.h declares.
#include <wincred.h>

#include "platform/secret_store.h"
#include "platform/text_conversion.h"

namespace {

std::wstring targetName(const std::string& name) {
  return utf8ToWide("Quillora/display-login/" + name);
}

}  // namespace

Result<> storeLogin(const std::string& name, const Login& login) {
  std::wstring target = targetName(name);
  std::wstring user = utf8ToWide(login.user);
  std::string blob = login.pass;
  CREDENTIALW credential{};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = target.data();
  credential.UserName = user.data();
  credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
  credential.CredentialBlob = reinterpret_cast<LPBYTE>(blob.data());
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  if (!CredWriteW(&credential, 0))
    return failure("the Credential Manager refused the login (error " +
                   std::to_string(GetLastError()) + ")");
  return {};
}

Result<Login> findLogin(const std::string& name) {
  PCREDENTIALW found = nullptr;
  if (!CredReadW(targetName(name).c_str(), CRED_TYPE_GENERIC, 0, &found))
    return failure("the Credential Manager keeps no login named " + name);
  Login login;
  login.user = found->UserName ? wideToUtf8(found->UserName) : "";
  login.pass.assign(reinterpret_cast<const char*>(found->CredentialBlob),
                    found->CredentialBlobSize);
  CredFree(found);
  return login;
}

void forgetLogin(const std::string& name) {
  CredDeleteW(targetName(name).c_str(), CRED_TYPE_GENERIC, 0);
}

Result<std::string> readPrivateFile(const std::string& path) {
  return failure("a credentials file (" + path +
                 ") is not used on Windows: the Credential Manager keeps the logins");
}
