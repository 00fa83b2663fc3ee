#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/download_window.h"

struct AppContext;

// The credentials and display addresses every display operation carries in its payload.
struct DeviceTarget {
  std::string user;
  std::string pass;
  std::vector<std::string> ips;
  std::optional<DownloadWindow> window;  // "window": nothing is sent outside it
};

// Reads "user", "pass" (strings), "ip" (array of strings) and the optional "window"; false when
// any is missing or not what it must be.
bool readDeviceTarget(const nlohmann::json& payload, DeviceTarget& target);

// The bodies for one display, in the order of the request lines.
using BodiesFor = std::function<std::vector<std::string>(const std::string& ip)>;

// What every task of an operation carries besides its display's address and bodies.
struct TaskTemplate {
  std::vector<std::string> uris;
  std::string fileCount, totalSize;  // playlist and emergency deploys
  std::string fileName;              // configuration upload
  uint64_t fileSize = 0;             // configuration upload
  int64_t run = 0;                   // 0: not journalled
};

// Replaces deviceTasks with one task per display and connects to them. On failure the tasks
// are dropped again and `failureLog` goes to the diagnostic log. An empty address list sends
// nothing and counts as success.
bool startDeviceTasks(AppContext& context, const DeviceTarget& target, const TaskTemplate& shape,
                      const BodiesFor& bodiesFor, std::string_view failureLog);
