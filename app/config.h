#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"

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

// Reads <exeFolder>/config.yaml; a failure names the file and the problem.
// The languages are those of the page in `pageFolder` (empty: <exeFolder>/web).
Result<AppConfig> loadConfig(const std::string& exeFolder, const std::string& pageFolder = {});
