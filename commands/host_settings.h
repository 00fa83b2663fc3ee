#pragma once

#include <nlohmann/json.hpp>
#include <string>

struct AppContext;

// {"T":"settings","C":"get"}: the send caps (Mbit/s) and the wave size, null where off.
std::string getHostSettings(AppContext& context, nlohmann::json& message);
// {"T":"settings","C":"save","P":{...}}: the members given, each a number above 0 or null to
// switch it off. They take effect at once, also for downloads under way, and are written to
// config.yaml. Anything refused changes nothing.
std::string saveHostSettings(AppContext& context, nlohmann::json& message);
