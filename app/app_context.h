#pragma once

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/page_bridge.h"
#include "discovery/local_interfaces.h"

class FileDialogs;
class HttpService;
class DiscoveryListener;

inline constexpr const char* kProductName = "Quillora";

// The one application object; every subsystem reaches the rest through it.
struct AppContext {
  AppContext(std::string exeFolder, AppConfig config);
  ~AppContext();
  AppContext(const AppContext&) = delete;
  AppContext& operator=(const AppContext&) = delete;

  PageChannel page;                // stands in for the main window: page messages go here
  FileDialogs* dialogs = nullptr;  // owned by the front end
  std::string exeFolder;
  std::vector<LocalInterface> localInterfaces;
  std::unique_ptr<HttpService> httpService;      // null until the network has started
  std::unique_ptr<DiscoveryListener> discovery;  // null when no HTTP listener could open
  // Opens a display's own web page (desktop: the default browser).
  std::function<void(const std::string& url)> openUrl;
  YAML::Node config;
  int32_t notificationPort = 0;
  int32_t searchPort = 0;
  std::string language;

  // Shared with the network thread: hold deviceTasksMutex for every read or change.
  std::mutex deviceTasksMutex;
  nlohmann::json deviceTasks = nlohmann::json::array();

  std::string webFolder() const { return exeFolder + "/web"; }
  std::string confFolder() const { return exeFolder + "/web/conf"; }
  std::string mediaFolder() const { return exeFolder + "/web/media"; }
  std::string firmwareFolder() const { return exeFolder + "/web/firmware"; }
};
