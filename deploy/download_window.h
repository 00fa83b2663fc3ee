#pragma once

#include <nlohmann/json.hpp>

#include "base/result.h"

// Local hours in which displays may be sent a fetch list: from `from` up to `to`, minutes after
// local midnight. A window whose end comes before its start runs across midnight.
struct DownloadWindow {
  int from = 0;
  int to = 0;
  bool operator==(const DownloadWindow&) const = default;
};

// {"from":"22:00","to":"05:00"}: 24-hour "H:MM" or "HH:MM" times that differ.
Result<DownloadWindow> readDownloadWindow(const nlohmann::json& value);
nlohmann::json windowJson(const DownloadWindow& window);
bool windowOpen(const DownloadWindow& window, int minuteOfDay);
// Minutes from `minuteOfDay` to the window's next start; 0 while it is open.
int minutesUntilOpen(const DownloadWindow& window, int minuteOfDay);
// Now, in seconds after local midnight.
int localSecondOfDay();
