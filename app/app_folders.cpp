#include "app/app_folders.h"

#include <filesystem>
#include <system_error>

#include "platform/file_system.h"

namespace fs = std::filesystem;

namespace {

AppFolders oneFolder(const std::string& folder) {
  return {folder, folder + "/web", {}};
}

}  // namespace

AppFolders resolveAppFolders(const std::string& folderOption, const std::string& exeFolder,
                             const UserEnvironment& user) {
  if (!folderOption.empty()) return oneFolder(folderOption);
  // Relative paths in XDG_DATA_HOME are to be ignored, says the base directory convention.
  std::string dataHome = user.xdgDataHome;
  if (dataHome.empty() || dataHome[0] != '/') {
    dataHome = user.home.empty() ? std::string() : user.home + "/.local/share";
  }
  if (exeFolder.empty() || dataHome.empty()) return oneFolder(exeFolder);
  if (entryKind(exeFolder + "/config.yaml") == EntryKind::kFile && isWritableFolder(exeFolder)) {
    return oneFolder(exeFolder);
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
}
