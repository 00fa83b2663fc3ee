#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct AppConfig {
  int32_t notificationPort = 0;
  int32_t searchPort = 0;
  std::string language;
  // How much of the deploy journal is kept (optional "history" keys); 0: no limit.
  int64_t historyDays = 365;
  int64_t historyRuns = 100000;
  // Caps on the media and firmware the host sends to displays, Mbit/s; 0 for none.
  double sendCapMbps = 0;
  double sendCapPerDisplayMbps = 0;
};

// Reads <exeFolder>/config.yaml. On failure returns nothing and sets `error` to a message
// that names the file and the problem.
// The languages are those of the page in `pageFolder` (empty: <exeFolder>/web).
std::optional<AppConfig> loadConfig(const std::string& exeFolder, std::string& error,
                                    const std::string& pageFolder = {});
