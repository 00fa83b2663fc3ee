#include "deploy/device_tasks.h"

#include "app/app_context.h"
#include "base/json_fields.h"
#include "base/log.h"
#include "deploy/device_replies.h"
#include "deploy/fetch_gate.h"

using nlohmann::json;

bool readDeviceTarget(const json& payload, DeviceTarget& target) {
  const std::string* user = stringField(payload, "user");
  const std::string* pass = stringField(payload, "pass");
  auto ips = stringArray(payload, "ip");
  if (!user || !pass || !ips) return false;
  if (const auto window = payload.find("window"); window != payload.end()) {
    auto read = readDownloadWindow(*window);
    if (!read) return false;
    target.window = *read;
  }
  target.user = *user;
  target.pass = *pass;
  target.ips = std::move(*ips);
  return true;
}

bool startDeviceTasks(AppContext& context, const DeviceTarget& target, const TaskTemplate& shape,
                      const BodiesFor& bodiesFor, std::string_view failureLog) {
  // Bodies can be large and take a while to build: the poll thread must not wait for them.
  DeviceTaskList tasks;
  for (const auto& ip : target.ips) {
    auto task = std::make_shared<DeviceTask>();
    task->user = target.user;
    task->pass = target.pass;
    task->ip = ip;
    task->uris = shape.uris;
    task->bodies = bodiesFor ? bodiesFor(ip) : std::vector<std::string>(shape.uris.size());
    task->fileCount = shape.fileCount;
    task->totalSize = shape.totalSize;
    task->fileName = shape.fileName;
    task->fileSize = shape.fileSize;
    task->run = shape.run;
    task->window = target.window;
    tasks.push_back(std::move(task));
  }
  DeviceTaskList replaced = tasks;
  {
    std::lock_guard lock(context.deviceTasksMutex);
    // The old tasks live on with their connections, no longer this operation's; whatever
    // only the list held is freed after the lock is released.
    context.deviceTasks.swap(replaced);
  }
  if (connectTasks(context, admitTasks(context, tasks)) == 0) return true;
  dropTasks(context, tasks);
  {
    std::lock_guard lock(context.deviceTasksMutex);
    context.deviceTasks.clear();
  }
  diagLog(failureLog);
  if (shape.run != 0) {
    for (const auto& ip : target.ips) {
      context.journal.record(context, shape.run, ip, "mgService", "deploy", json::object(), false,
                             {});
    }
  }
  return false;
}
