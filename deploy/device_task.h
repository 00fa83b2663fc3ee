#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "deploy/download_window.h"

// Where an upload stands: only the display's answer to the request just sent moves it on.
enum class UploadStep { idle, dataSent, closingSent, reported };

// One display's work in one operation. A connection keeps the task that opened it, so every
// answer, error and end of that connection reaches this task and its run, whatever other
// operation has been started for the same address since.
struct DeviceTask {
  std::string user;
  std::string pass;
  std::string ip;  // "address:port" as the page sent it
  std::vector<std::string> uris;
  std::vector<std::string> bodies;  // one per request line
  std::string sessionId;            // the display's challenge; "" before it
  bool challenged = false;          // the first challenge was answered: a second one refuses
  // Playlist and emergency deploys: how many files and bytes the display is told to fetch.
  std::string fileCount;
  std::string totalSize;
  // Configuration upload.
  std::string fileName;
  uint64_t fileSize = 0;
  uint64_t offset = 0;
  UploadStep upload = UploadStep::idle;
  // The notification the display owes after it accepted a fetch ("NotifyFetchResult",
  // "NotifyFetchFirmware"); empty when it owes none.
  std::string awaiting;
  int retries = 0;        // connections tried again after one that never opened
  bool retrying = false;  // another attempt is planned: this connection's end is not final
  int64_t run = 0;        // 0 when the operation is not journalled
  std::optional<DownloadWindow> window;  // nothing is sent outside it
  bool holdsPlace = false;               // counted among the displays fetching (waves)

  bool isUpload() const;
  // Whether the display is told to fetch files from the host (a fetch list or firmware).
  bool fetches() const;
};

using DeviceTaskList = std::vector<std::shared_ptr<DeviceTask>>;

// The display part of "a.b.c.d:port" (everything before the first ':').
std::string deviceHost(const std::string& address);
