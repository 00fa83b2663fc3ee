#include "commands/media_intake.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <vector>

#include "app/app_context.h"
#include "base/json_fields.h"
#include "commands/playlists.h"
#include "media/atomic_files.h"
#include "media/file_kinds.h"
#include "media/file_reading.h"
#include "media/media_probe.h"
#include "platform/calendar.h"
#include "platform/crypto.h"
#include "platform/file_dialog.h"
#include "platform/file_system.h"

using nlohmann::json;

namespace {

constexpr uint64_t kMaxAssetSize = 1048576;

struct Chosen {
  std::string path;
  std::string name;
  std::string extension;  // from the last "." of the name, dot included; empty when none
};

Chosen describe(const std::string& path) {
  Chosen chosen{path, utf8FromPath(pathFromUtf8(path).filename()), ""};
  size_t dot = chosen.name.rfind('.');
  if (dot != std::string::npos) chosen.extension = chosen.name.substr(dot);
  return chosen;
}

std::vector<DialogFilter> filtersFor(const std::string& type) {
  if (type == "media") {
    const char* patterns = "*.mp4;*.mov;*.mkv;*.bmp;*.gif;*.jpeg;*.jpg;*.png;*.webp";
    return {{std::string("Supported Media: ") + patterns, patterns}};
  }
  if (type == "configure") return {{"Configure: *.conf", "*.conf"}};
  if (type == "firmware") return {{"Firmware: *.epak", "*.epak"}};
  if (type == "brand" || type == "alertImage") return {{"Image: *.png", "*.png;*.PNG"}};
  if (type == "alertAudio") return {{"Audio: *.wav", "*.wav;*.WAV"}};
  return {};
}

json copyFailed(const Chosen& file) {
  return {{"status", "ERROR"}, {"title", file.name}};
}

json addMedia(AppContext& context, const std::vector<std::string>& paths) {
  const std::string stamp = utcStampNow();
  json accepted = json::array();
  for (const auto& path : paths) {
    Chosen file = describe(path);
    std::string verdict = probeMedia(file.path, file.extension);
    if (!verdict.empty()) {
      return {{"codec", verdict}, {"status", "BADCODEC"}, {"title", file.name}};
    }
    std::string stored = storedMediaName(file.name, file.extension, stamp);
    if (!copyFileAtomically(file.path, context.mediaFolder() + "/" + stored))
      return copyFailed(file);
    accepted.push_back({{"path", stored}, {"title", file.name}});
  }
  return accepted.size() == 1 ? accepted[0] : accepted;
}

json addAsset(const Chosen& file) {
  const uint64_t size = fileSize(file.path);
  auto refused = [&](const char* status) {
    return json{{"filesize", size}, {"status", status}, {"title", file.name}};
  };
  if (size >= kMaxAssetSize) return refused("TOOBIG");
  if ((file.extension == ".png" || file.extension == ".PNG") && !isPngFile(file.path)) {
    return refused("BADPNG");
  }
  if ((file.extension == ".wav" || file.extension == ".WAV") && !isWavFile(file.path)) {
    return refused("BADWAV");
  }
  return {{"path", file.path}, {"status", "OK"}, {"title", file.name}};
}

}  // namespace

std::string utcStampNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  std::tm utc{};
  utcCalendar(seconds, utc);
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  return std::to_string(utc.tm_year + 1900) + std::to_string(utc.tm_mon + 1) +
         std::to_string(utc.tm_mday) + std::to_string(utc.tm_hour) + std::to_string(utc.tm_min) +
         std::to_string(utc.tm_sec) + std::to_string(millis);
}

std::string storedMediaName(const std::string& fileName, const std::string& extension,
                            const std::string& utcStamp) {
  return md5HexDigest(fileName + utcStamp) + extension;
}

std::string addFiles(AppContext& context, json& message) {
  const std::string type = message["T"];
  const bool multiple = type == "media";
  std::vector<std::string> paths = context.chooseFiles(filtersFor(type), multiple);
  if (paths.empty()) return dumpCompact(message);
  const Chosen first = describe(paths.front());
  json reply;
  if (type == "media") {
    reply = addMedia(context, paths);
  } else if (type == "configure") {
    reply = {{"path", first.path}, {"status", "OK"}, {"title", first.name}};
  } else if (type == "firmware") {
    // Stored under the name the page gets, which comes back in the firmware's fetch address.
    const std::string stored = pageText(first.name);
    if (!copyFileAtomically(first.path, context.firmwareFolder() + "/" + stored)) {
      reply = copyFailed(first);
    } else {
      reply = {{"path", stored}, {"title", stored}};
    }
  } else if (type == "brand" || type == "alertImage" || type == "alertAudio") {
    reply = addAsset(first);
  } else {
    return {};
  }
  message["P"] = std::move(reply);
  return dumpCompact(message);
}

std::string removeMedia(AppContext& context, json& message) {
  const json& payload = message["P"];
  const std::string* media = stringField(payload, "media");
  const std::string* playlist = stringField(payload, "playlist");
  if (!media || !playlist) return {};
  std::string name = *media;
  bool ok = removeUnusedMedia(context.exeFolder, name, *playlist);
  message["P"] = {{"file", name}, {"status", ok ? "OK" : "ERROR"}};
  return dumpCompact(message);
}
