#include "app/app_folders.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/file_system.h"

namespace fs = std::filesystem;

namespace {

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

AppFolders oneFolder(const std::string& folder) {
  return {folder, folder + "/web", {}};
}

}  // namespace

UserEnvironment userEnvironment() {
  UserEnvironment user{environmentValue("XDG_DATA_HOME"), environmentValue("HOME")};
#ifndef _WIN32
  if (user.home.empty()) {
    if (const passwd* account = ::getpwuid(::getuid()); account && account->pw_dir) {
      user.home = account->pw_dir;
    }
  }
#endif
  return user;
}

AppFolders resolveAppFolders(const std::string& folderOption, const std::string& exeFolder,
                             const UserEnvironment& user) {
  if (!folderOption.empty()) return oneFolder(folderOption);
#ifdef _WIN32
  // The Windows build has no installed layout yet: the program's folder is always its own.
  (void)user;
  return oneFolder(exeFolder);
#else
  const bool runnable = entryKind(exeFolder + "/config.yaml") == EntryKind::kFile &&
                        ::access(exeFolder.c_str(), W_OK) == 0;
  if (exeFolder.empty() || runnable) return oneFolder(exeFolder);

  // Relative paths in XDG_DATA_HOME are to be ignored, says the base directory convention.
  std::string dataHome = user.xdgDataHome;
  if (dataHome.empty() || dataHome[0] != '/') {
    if (user.home.empty()) return oneFolder(exeFolder);
    dataHome = user.home + "/.local/share";
  }
  const std::string shared =
      utf8FromPath(pathFromUtf8(exeFolder).parent_path()) + "/share/quillora";
  AppFolders folders{dataHome + "/quillora", shared + "/web", "/usr/share"};
  std::error_code ec;
  fs::create_directories(pathFromUtf8(folders.data), ec);
  // A config.yaml the user already has, even a broken one, is theirs to keep.
  fs::copy_file(pathFromUtf8(shared + "/config.yaml"), pathFromUtf8(folders.data + "/config.yaml"),
                fs::copy_options::skip_existing, ec);
  return folders;
#endif
}
