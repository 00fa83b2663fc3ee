#include "commands/playlists.h"

#include <set>
#include <vector>

#include "base/json_fields.h"
#include "base/log.h"
#include "media/atomic_files.h"
#include "media/file_reading.h"
#include "media/names.h"

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

// Adds the "url" of every item of the playlist to `media`.
void collectMedia(const json& content, std::set<std::string>& media) {
  if (!content.is_object()) return;
  auto it = content.find("playlist");
  if (it == content.end() || !it->is_array()) return;
  for (const auto& item : *it) {
    if (!item.is_object()) continue;
    auto url = item.find("url");
    if (url != item.end() && url->is_string()) media.insert(url->get<std::string>());
  }
}

// Reads every file of web/conf but `except` once: the media they name go to `media`, empty
// playlists are deleted when `prune`. The names of the files left, sorted.
std::vector<std::string> scanPlaylists(const std::string& exeFolder, const std::string& except,
                                       bool prune, std::set<std::string>& media) {
  std::vector<std::string> left;
  for (auto& name : listFiles(exeFolder + "/web/conf")) {
    if (name == except) continue;
    // Files that are not JSON are left alone: they are not ours to judge.
    auto content = readPlaylistFile(exeFolder, name);
    if (prune && content && isEmptyPlaylist(*content)) {
      removeFile(confPath(exeFolder, name));
      continue;
    }
    if (content) collectMedia(*content, media);
    left.push_back(std::move(name));
  }
  return left;
}

bool removeMediaFile(const std::string& exeFolder, const std::string& media) {
  if (!isSafeFileName(media)) return false;
  bool removed = removeFile(exeFolder + "/web/media/" + media);
  if (!removed) diagLog("Delete media failed: " + media);
  return removed;
}

}  // namespace

std::string pageText(const std::string& text) {
  return json::parse(dumpCompact(json(text))).get<std::string>();
}

std::optional<json> readPlaylistFile(const std::string& exeFolder, const std::string& name) {
  if (!isSafeFileName(name)) return std::nullopt;
  std::string text = readFileText(confPath(exeFolder, name));
  if (text.empty()) return std::nullopt;
  json content = json::parse(text, nullptr, false);
  if (content.is_discarded()) return std::nullopt;
  return content;
}

json listPlaylists(const std::string& exeFolder) {
  std::set<std::string> media;
  return scanPlaylists(exeFolder, "", true, media);
}

void pruneMediaLibrary(const std::string& exeFolder) {
  std::set<std::string> used;
  scanPlaylists(exeFolder, "", true, used);
  for (const auto& name : listFiles(exeFolder + "/web/media")) {
    if (!used.contains(name)) removeMediaFile(exeFolder, name);
  }
}

bool isPlaylistName(const std::string& name) {
  // A name of the save temporaries would be taken for a crash's left-over at the next start.
  return isSafeFileName(name) && isPlainName(name) && !name.starts_with(kTempFilePrefix);
}

bool savePlaylist(const std::string& exeFolder, const std::string& name, const json& items) {
  if (!isPlaylistName(name)) return false;
  json content = json::object();
  content["playlist"] = items;
  return writeFileAtomically(confPath(exeFolder, name), dumpCompact(content));
}

bool removePlaylist(const std::string& exeFolder, const std::string& name) {
  if (!isSafeFileName(name)) return false;
  std::set<std::string> own;
  if (auto content = readPlaylistFile(exeFolder, name)) collectMedia(*content, own);
  std::set<std::string> used;
  scanPlaylists(exeFolder, name, false, used);
  for (const auto& media : own) {
    if (!used.contains(media)) removeMediaFile(exeFolder, media);
  }
  return removeFile(confPath(exeFolder, name));
}

bool removeUnusedMedia(const std::string& exeFolder, const std::string& media,
                       const std::string& playlist) {
  if (!isSafeFileName(media)) return false;
  std::set<std::string> used;
  scanPlaylists(exeFolder, playlist, false, used);
  return used.contains(media) || removeMediaFile(exeFolder, media);
}
