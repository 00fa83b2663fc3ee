#include "app/app_context.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "commands/playlists.h"
#include "device/http_service.h"
#include "discovery/discovery_listener.h"
#include "media/file_reading.h"
#include "platform/file_dialog.h"
#include "platform/file_system.h"
#include "store/store.h"

AppContext::AppContext(std::string folder, AppConfig loaded)
    : exeFolder(std::move(folder)),
      pageFolder(exeFolder + "/web"),
      notificationPort(loaded.notificationPort),
      searchPort(loaded.searchPort),
      language(std::move(loaded.language)),
      // Days beyond any calendar's reach are as good as none, and do not overflow.
      keep{std::min<int64_t>(loaded.historyDays, 1'000'000) * 24 * 3600 * 1000, loaded.historyRuns},
      sendCapMbps(loaded.sendCapMbps),
      sendCapPerDisplayMbps(loaded.sendCapPerDisplayMbps),
      waveSize(static_cast<size_t>(loaded.waveSize)),
      credentialsFile(std::move(loaded.credentialsFile)) {}

AppContext::~AppContext() = default;

std::vector<std::string> AppContext::chooseFiles(const std::vector<DialogFilter>& filters,
                                                 bool multiple) {
  std::vector<std::string> paths;
  if (dialogs) paths = dialogs->chooseFiles(filters, multiple);
  for (const auto& path : paths) answeredPaths_[pageText(path)] = path;
  return paths;
}

std::string AppContext::readPageFile(const std::string& path, bool base64) const {
  namespace fs = std::filesystem;
  std::string readable;
  if (auto answered = answeredPaths_.find(path); answered != answeredPaths_.end()) {
    readable = answered->second;
  } else if (path.find('\0') == std::string::npos) {
    // Resolved first: "web/../config.yaml" and links out of web/ do not lie under it.
    std::error_code pathError, webError;
    fs::path resolved = fs::weakly_canonical(pathFromUtf8(path), pathError);
    fs::path web = fs::weakly_canonical(pathFromUtf8(webFolder()), webError);
    auto [webEnd, _] = std::mismatch(web.begin(), web.end(), resolved.begin(), resolved.end());
    if (!pathError && !webError && !path.empty() && webEnd == web.end()) {
      readable = utf8FromPath(resolved);
    }
  }
  return readable.empty() ? std::string() : readFileText(readable, base64);
}
