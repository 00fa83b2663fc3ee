#include "commands/playlists.h"

#include "app/diag_log.h"
#include "media/file_utils.h"

using nlohmann::json;

namespace {

std::string confPath(const std::string& exeFolder, const std::string& name) {
  return exeFolder + "/web/conf/" + name;
}

bool isEmptyPlaylist(const json& content) {
  if (!content.is_object()) return false;
  auto it = content.find("playlist");
  return it == content.end() || it->empty();
}

bool playlistNames(const json& content, const std::string& media) {
  if (!content.is_object()) return false;
  auto it = content.find("playlist");
  if (it == content.end() || !it->is_array()) return false;
  for (const auto& item : *it) {
    if (!item.is_object()) continue;
    auto url = item.find("url");
    if (url != item.end() && url->is_string() && url->get_ref<const std::string&>() == media) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string dumpCompact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<json> readPlaylistFile(const std::string& exeFolder, const std::string& name) {
  if (!isSafeFileName(name)) return std::nullopt;
  std::string text = readFileText(confPath(exeFolder, name));
  if (text.empty()) return std::nullopt;
  json content = json::parse(text, nullptr, false);
  if (content.is_discarded()) return std::nullopt;
  return content;
}

void removeEmptyPlaylists(const std::string& exeFolder) {
  for (const auto& name : listFiles(exeFolder + "/web/conf")) {
    // Files that are not JSON are left alone: they are not ours to judge.
    auto content = readPlaylistFile(exeFolder, name);
    if (content && isEmptyPlaylist(*content)) removeFile(confPath(exeFolder, name));
  }
}

json listPlaylists(const std::string& exeFolder) {
  removeEmptyPlaylists(exeFolder);
  return listFiles(exeFolder + "/web/conf");
}

bool savePlaylist(const std::string& exeFolder, const std::string& name, const json& items) {
  if (!isSafeFileName(name)) return false;
  json content = json::object();
  content["playlist"] = items;
  return writeFileAtomically(confPath(exeFolder, name), dumpCompact(content));
}

bool removePlaylist(const std::string& exeFolder, const std::string& name) {
  if (!isSafeFileName(name)) return false;
  auto content = readPlaylistFile(exeFolder, name);
  if (content && content->is_object()) {
    auto it = content->find("playlist");
    if (it != content->end() && it->is_array()) {
      for (const auto& item : *it) {
        if (!item.is_object()) continue;
        auto url = item.find("url");
        if (url != item.end() && url->is_string()) removeUnusedMedia(exeFolder, *url, name);
      }
    }
  }
  return removeFile(confPath(exeFolder, name));
}

bool removeUnusedMedia(const std::string& exeFolder, const std::string& media,
                       const std::string& playlist) {
  if (!isSafeFileName(media)) return false;
  for (const auto& name : listFiles(exeFolder + "/web/conf")) {
    if (name == playlist) continue;
    auto content = readPlaylistFile(exeFolder, name);
    if (content && playlistNames(*content, media)) return true;
  }
  bool removed = removeFile(exeFolder + "/web/media/" + media);
  if (!removed) diagLog("Delete media failed: " + media);
  return removed;
}
