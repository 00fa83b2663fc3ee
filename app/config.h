#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
  // At most this many displays fetch at once; 0 for no limit.
  int64_t waveSize = 0;
  // Display logins of schedules where no secret service runs; empty for none.
  std::string credentialsFile;
};

// Reads <exeFolder>/config.yaml; a failure names the file and the problem.
// The languages are those of the page in `pageFolder` (empty: <exeFolder>/web).
Result<AppConfig> loadConfig(const std::string& exeFolder, const std::string& pageFolder = {});

// Sets top-level keys of <exeFolder>/config.yaml to the YAML scalars given, keeping every other
// line and the keys' comments; a key not there yet is added at the end.
Result<void> saveConfigValues(const std::string& exeFolder,
                              const std::vector<std::pair<std::string, std::string>>& values);
