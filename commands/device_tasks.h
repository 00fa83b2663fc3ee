#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

struct AppContext;

// The credentials and display addresses every display operation carries in its payload.
struct DeviceTarget {
  std::string user;
  std::string pass;
  std::vector<std::string> ips;
};

// Reads "user", "pass" (strings) and "ip" (array of strings); false when any is missing or of
// another type.
bool readDeviceTarget(const nlohmann::json& payload, DeviceTarget& target);

// The bodies for one display, in the order of the request lines.
using BodiesFor = std::function<std::vector<std::string>(const std::string& ip)>;

// Replaces deviceTasks with one task per display and connects to them. On failure the tasks
// are dropped again and `failureLog` goes to the diagnostic log. An empty address list sends
// nothing and counts as success.
bool startDeviceTasks(AppContext& context, const DeviceTarget& target,
                      const std::vector<std::string>& uris, const BodiesFor& bodiesFor,
                      const nlohmann::json& extra, std::string_view failureLog);
