#include "app/startup.h"

#include "commands/schedules.h"

#include <libxml/parser.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/network_start.h"
#include "base/log.h"
#include "commands/inventory.h"
#include "commands/playlists.h"
#include "device/http_service.h"
#include "discovery/discovery_listener.h"
#include "media/atomic_files.h"
#include "media/file_reading.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "store/store.h"

Startup startApplication(const std::string& exeFolder, InstanceLock& lock,
                         const ShowMessage& showMessage) {
  return startApplication(AppFolders{exeFolder, exeFolder + "/web", {}}, lock, showMessage);
}

Startup startApplication(const AppFolders& folders, InstanceLock& lock,
                         const ShowMessage& showMessage) {
  const std::string& exeFolder = folders.data;
  Startup startup;
  if (!lock.acquire(kProductName)) {
    const std::string& holder = lock.holder();
    showMessage(holder.empty() ? std::string(kOtherInstanceMessage)
                               : std::string(kOtherInstanceMessage) + " It is " + holder + ".");
    startup.exitCode = kExitOtherInstance;
    return startup;
  }
  auto config = loadConfig(exeFolder, folders.page);
  if (!config) {
    showMessage("Cannot start: " + config.error());
    startup.exitCode = kExitBadConfig;
    return startup;
  }
  xmlInitParser();
  startup.context = std::make_unique<AppContext>(exeFolder, std::move(*config));
  startup.context->pageFolder = folders.page;
  startup.context->linkedRoot = folders.linkedRoot;
  createRuntimeFolders(*startup.context);
  openStore(*startup.context);
  return startup;
}

void createRuntimeFolders(const AppContext& context) {
  for (const auto& folder :
       {context.confFolder(), context.mediaFolder(), context.firmwareFolder()}) {
    std::error_code ec;
    std::filesystem::create_directories(pathFromUtf8(folder), ec);
  }
  removeStaleTempFiles(context.confFolder());
}

void openStore(AppContext& context) {
  const char* off = std::getenv("QUILLORA_NO_STORE");
  if (off && std::string(off) == "1") return;
  auto opened = Store::open(context.exeFolder);
  // The program works without its records; the page reports the reason where it needs them.
  if (!opened) {
    context.storeError = opened.error();
    reportProblem(context.storeError);
    return;
  }
  context.store = std::move(*opened);
  // No earlier process reports for its runs any more.
  context.store->closeOpenRuns(nowMs());
  context.store->keepPruned(context.keep, [](const std::string& error) { reportProblem(error); });
  // A crash may have left the file damaged: looked at whole, without holding the start up.
  if (context.store->uncleanShutdown()) startStoreCheck(context);
}

void startNetworkOrWarn(AppContext& context, const ShowMessage& showMessage, bool schedules) {
  if (startNetwork(context) < 1) showMessage(kNetworkFailedMessage);
  if (!schedules) return;
  // Firings missed while no instance ran are made up or journalled now, then each on time.
  runSchedules(context, nowMs());
  watchSchedules(context);
}

void shutdownApplication(AppContext& context) {
  context.page.close();
  pruneMediaLibrary(context.exeFolder);
  for (const auto& name : listFiles(context.firmwareFolder())) {
    removeFile(context.firmwareFolder() + "/" + name);
  }
  context.discovery.reset();
  context.httpService.reset();
  // Last: what the network thread queued is written before the program ends, and the runs
  // still going end with it.
  if (context.store && context.journal.stopped().empty()) context.store->closeOpenRuns(nowMs());
  context.store.reset();
}
