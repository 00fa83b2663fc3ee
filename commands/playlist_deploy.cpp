#include "commands/playlist_deploy.h"

#include <cmath>
#include <optional>
#include <vector>

#include "app/app_context.h"
#include "base/json_fields.h"
#include "base/log.h"
#include "commands/playlists.h"
#include "commands/xml_body.h"
#include "deploy/device_tasks.h"
#include "device/percent_encoding.h"
#include "discovery/local_interfaces.h"
#include "media/file_reading.h"
#include "media/names.h"

using nlohmann::json;

namespace {

struct Item {
  std::string url;
  int32_t id, type, duration;
};

// The items of a playlist, or nothing when one of them has the wrong shape.
std::optional<std::vector<Item>> readItems(const json& items) {
  std::vector<Item> result;
  for (const auto& item : items) {
    const std::string* url = stringField(item, "url");
    const json* id = numberField(item, "id");
    const json* type = numberField(item, "type");
    const json* duration = numberField(item, "duration");
    if (!url || !id || !type || !duration) return std::nullopt;
    result.push_back({*url, toInt32(*id), toInt32(*type), toInt32(*duration)});
  }
  return result;
}

std::string errorEcho(json& message, const char* type, const char* status) {
  message["T"] = type;
  message["C"] = "error";
  message["P"] = {{"status", status}};
  return dumpCompact(message);
}

struct Bodies {
  std::vector<std::string> uris;
  std::vector<std::string> bodies;
  uint64_t totalSize = 0;
  size_t fileCount = 0;
};

std::string urgentConfig(const std::string& enable) {
  XmlBody body("UrgentConfig");
  body.add("Enabled", enable);
  return body.serialize();
}

// The upload announcement and the fetch list; "zerosize" when a media file is missing or empty.
const char* addPlaylistBodies(const AppContext& context, const std::vector<Item>& items,
                              Bodies& out) {
  const std::string port = std::to_string(context.notificationPort);
  XmlBody upload("RequestUploadList");
  upload.add("TotalFileCount", std::to_string(items.size()));
  XmlBody fetch("FetchListConfig");
  fetch.add("ListCount", std::to_string(items.size()));
  fetch.add("NotifyServerHost", kHostPlaceholder);
  fetch.add("NotifyServerPort", port);
  uint64_t total = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    uint64_t size = isSafeFileName(item.url) ? fileSize(context.mediaFolder() + "/" + item.url) : 0;
    if (size == 0) {
      diagLog("no media file or total file size is 0");
      return "zerosize";
    }
    total += size;
    xmlNode* entry = fetch.add(("FetchList_" + std::to_string(i)).c_str(), "");
    fetch.add(entry, "FileID", std::to_string(item.id));
    fetch.add(entry, "PlayType", std::to_string(item.type));
    fetch.add(entry, "Duration", std::to_string(item.duration));
    fetch.add(entry, "FetchURL",
              "http://" + std::string(kHostPlaceholder) + ":" + port + "/media/" +
                  percentEncode(item.url));
  }
  if (total == 0) {
    diagLog("no media file or total file size is 0");
    return "zerosize";
  }
  upload.add("TotalFileSize", std::to_string(total));
  out.uris.push_back("PUT /ISAPI/VideoAdvert/RequestUploadList?ID=");
  out.uris.push_back("PUT /ISAPI/VideoAdvert/FetchListConfig?ID=");
  out.bodies.push_back(upload.serialize());
  out.bodies.push_back(fetch.serialize());
  out.totalSize = total;
  out.fileCount = items.size();
  return nullptr;
}

}  // namespace

int32_t toInt32(const json& number) {
  if (number.is_number_unsigned()) return static_cast<int32_t>(number.get<uint64_t>());
  if (number.is_number_integer()) return static_cast<int32_t>(number.get<int64_t>());
  double value = std::trunc(number.get<double>());
  if (!std::isfinite(value)) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(std::fmod(value, 4294967296.0)));
}

std::string deployPlaylist(AppContext& context, json& message) {
  const json& payload = message["P"];
  DeviceTarget target;
  if (!readDeviceTarget(payload, target)) return {};
  const bool emergency = message["T"] == "emergency";
  Bodies bodies;
  std::string playlist;
  std::vector<std::string> files;
  if (emergency) {
    auto enable = payload.find("enable");
    if (enable == payload.end() || !enable->is_string()) return {};
    bodies.uris.push_back("PUT /ISAPI/Gui/UrgentConfig?ID=");
    bodies.bodies.push_back(urgentConfig(*enable));
  }
  if (auto file = payload.find("file"); file != payload.end()) {
    if (!file->is_string()) return {};
    auto content = readPlaylistFile(context.exeFolder, *file);
    const json* items = nullptr;
    if (content && content->is_object() && content->contains("playlist")) {
      items = &(*content)["playlist"];
    }
    if (!items || !items->is_array() || items->empty()) {
      return errorEcho(message, "playlist", "nofile");
    }
    auto parsed = readItems(*items);
    if (!parsed) return errorEcho(message, "playlist", "nofile");
    playlist = *file;
    for (const auto& item : *parsed) files.push_back(item.url);
    if (const char* problem = addPlaylistBodies(context, *parsed, bodies)) {
      std::lock_guard lock(context.deviceTasksMutex);
      context.deviceTasks.clear();
      return errorEcho(message, "playlist", problem);
    }
  }
  TaskTemplate shape;
  shape.uris = bodies.uris;
  shape.fileCount = std::to_string(bodies.fileCount);
  shape.totalSize = std::to_string(bodies.totalSize);
  shape.run = context.journal.begin(context, message, playlist, "media", files);
  const auto interfaces = listLocalInterfaces();
  auto bodiesFor = [&bodies, &interfaces](const std::string& ip) {
    const std::string host = selectHostAddressFrom(ip, interfaces);
    std::vector<std::string> own;
    for (const auto& body : bodies.bodies) {
      own.push_back(replaceHostPlaceholder(body, host));
      diagLog(own.back());
    }
    return own;
  };
  if (!startDeviceTasks(context, target, shape, bodiesFor, "playlist deploy failed")) {
    return errorEcho(message, "mgService", "deploy");
  }
  return {};
}
