#pragma once

// Display logins for unattended runs, kept by the system and never in a file of ours: the
// Secret Service on Linux, the Credential Manager on Windows, each login under its `name`.

#include <string>

#include "base/result.h"

struct Login {
  std::string user;
  std::string pass;
};

Result<> storeLogin(const std::string& name, const Login& login);
Result<Login> findLogin(const std::string& name);
void forgetLogin(const std::string& name);

// A file of logins the operator keeps where no secret service runs: read only when it is a
// regular file that belongs to the user and that no one else may read or write, as ssh treats
// its keys. Not used on Windows, where the Credential Manager always runs.
Result<std::string> readPrivateFile(const std::string& path);
