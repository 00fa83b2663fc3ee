#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/app_context.h"
#include "app/app_folders.h"

class InstanceLock;

inline constexpr const char* kOtherInstanceMessage =
    "An other instance of this application is already running!";
inline constexpr const char* kNetworkFailedMessage =
    "Listen to network failed!\nCheck network connection, and port settings in config.yaml are "
    "not used by other software.";

inline constexpr int kExitUsage = 1;
inline constexpr int kExitOtherInstance = 2;
inline constexpr int kExitBadConfig = 3;

using ShowMessage = std::function<void(const std::string&)>;

struct Startup {
  int exitCode = 0;  // non-zero: start-up ended after `showMessage` told why
  std::unique_ptr<AppContext> context;
};

// Single-instance lock, configuration, AppContext and the runtime folders, in that order.
Startup startApplication(const AppFolders& folders, InstanceLock& lock,
                         const ShowMessage& showMessage);
// The page and everything written in one folder (its web/ holds the page).
Startup startApplication(const std::string& exeFolder, InstanceLock& lock,
                         const ShowMessage& showMessage);

// Starts the network side; a failure is shown and start-up goes on without it.
// With `schedules`, the stored schedules fire while the program runs.
void startNetworkOrWarn(AppContext& context, const ShowMessage& showMessage, bool schedules = true);

// The clean-up at exit: empty playlists, unreferenced media and every firmware copy are
// deleted, then the network objects are stopped. Page sends are dropped from the start.
void shutdownApplication(AppContext& context);

void createRuntimeFolders(const AppContext& context);
// Opens context.store; a store that cannot open is reported on stderr and start-up goes on.
// QUILLORA_NO_STORE=1 leaves it closed.
void openStore(AppContext& context);
