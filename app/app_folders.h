#pragma once

#include <string>

#include "platform/user_account.h"

// Where the program reads its page and keeps what it writes. Run from a build folder (or with
// --folder DIR), one folder holds both, as it always has; installed, the page is read-only in
// <prefix>/share/quillora and everything written lives in the user's own data folder.
struct AppFolders {
  std::string data;  // config.yaml, web/conf, web/media, web/firmware and data/
  std::string page;  // the shipped page: index.html and its libraries
  // Where the page's /vendor/ links may lead (the system's shared copies); empty for none.
  std::string linkedRoot;
};

// `folderOption` is --folder DIR (empty when not given), `exeFolder` the executable's. The
// executable's folder is used when it holds config.yaml and may be written; else the user's
// folder $XDG_DATA_HOME/quillora (~/.local/share/quillora) is made, with the shipped
// config.yaml copied into it when it has none. Without a home folder (Windows) the executable's
// folder is the one.
AppFolders resolveAppFolders(const std::string& folderOption, const std::string& exeFolder,
                             const UserEnvironment& user);
