#include "platform/user_account.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace {

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

UserEnvironment userEnvironment() {
  UserEnvironment user{environmentValue("XDG_DATA_HOME"), environmentValue("HOME")};
  if (user.home.empty()) {
    if (const passwd* account = ::getpwuid(::getuid()); account && account->pw_dir) {
      user.home = account->pw_dir;
    }
  }
  return user;
}
