#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/config.h"
#include "app/page_bridge.h"
#include "deploy/device_task.h"
#include "deploy/run_journal.h"
#include "discovery/local_interfaces.h"
#include "store/store.h"

class FileDialogs;
struct DialogFilter;
class HttpService;
class DiscoveryListener;
class Store;

inline constexpr const char* kProductName = "Quillora";

// The one application object; every subsystem reaches the rest through it.
struct AppContext {
  AppContext(std::string exeFolder, AppConfig config);
  ~AppContext();
  AppContext(const AppContext&) = delete;
  AppContext& operator=(const AppContext&) = delete;

  PageChannel page;                // stands in for the main window: page messages go here
  FileDialogs* dialogs = nullptr;  // owned by the front end
  std::string exeFolder;           // where everything written lives (AppFolders::data)
  std::string pageFolder;          // the shipped page, read only (AppFolders::page)
  std::string linkedRoot;  // where the page's library links may lead (AppFolders::linkedRoot)
  std::vector<LocalInterface> localInterfaces;
  // Declared before the network objects, whose threads write to it, so that it outlives them.
  std::unique_ptr<Store> store;  // null when it could not open (storeError says why) or is off
  std::string storeError;
  RunJournal journal;
  std::unique_ptr<HttpService> httpService;      // null until the network has started
  std::unique_ptr<DiscoveryListener> discovery;  // null when no HTTP listener could open
  // Opens a display's own web page (desktop: the default browser).
  std::function<void(const std::string& url)> openUrl;
  int32_t notificationPort = 0;
  int32_t searchPort = 0;
  std::string language;
  Retention keep;          // how much of the deploy journal is kept
  double sendCapMbps = 0;  // AppConfig's
  double sendCapPerDisplayMbps = 0;

  // Shared with the network thread: hold deviceTasksMutex for every read or change of the
  // lists and of the tasks in them.
  std::mutex deviceTasksMutex;
  DeviceTaskList deviceTasks;         // the latest display operation's
  DeviceTaskList awaitingTasks;       // of any operation, owing a fetch notification
  DeviceTaskList heldTasks;           // waiting for a place in the wave or for their window
  size_t fetching = 0;                // displays holding a place in the wave
  size_t waveSize = 0;                // at most this many displays fetch at once; 0: no limit
  std::string credentialsFile;        // AppConfig's
  std::atomic<int> scheduleTimer{0};  // the generation of the armed schedule timer
  bool windowTimerArmed = false;
  // Now, in seconds after local midnight: download windows keep to it. Tests set their own.
  std::function<int()> secondOfDay = localSecondOfDay;

  std::string webFolder() const { return exeFolder + "/web"; }
  std::string confFolder() const { return exeFolder + "/web/conf"; }
  std::string mediaFolder() const { return exeFolder + "/web/media"; }
  std::string firmwareFolder() const { return exeFolder + "/web/firmware"; }

  // Asks `dialogs` (cancelled without one) and remembers the answer for readPageFile.
  std::vector<std::string> chooseFiles(const std::vector<DialogFilter>& filters, bool multiple);
  // A file the page names: read only when a dialog of this run answered it or it lies under
  // web/, and only when it is a regular file. What may not be read reads as nothing.
  std::string readPageFile(const std::string& path, bool base64 = false) const;

 private:
  // Answered paths by the text the page gets for them: a name that is not UTF-8 reaches the
  // page with replacement characters and comes back that way.
  std::map<std::string, std::string> answeredPaths_;
};
