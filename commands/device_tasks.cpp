#include "commands/device_tasks.h"

#include "app/app_context.h"
#include "app/diag_log.h"
#include "app/json_fields.h"
#include "device/device_replies.h"
#include "device/http_service.h"

using nlohmann::json;

bool readDeviceTarget(const json& payload, DeviceTarget& target) {
  const std::string* user = stringField(payload, "user");
  const std::string* pass = stringField(payload, "pass");
  auto ips = stringArray(payload, "ip");
  if (!user || !pass || !ips) return false;
  target.user = *user;
  target.pass = *pass;
  target.ips = std::move(*ips);
  return true;
}

bool startDeviceTasks(AppContext& context, const DeviceTarget& target,
                      const std::vector<std::string>& uris, const BodiesFor& bodiesFor,
                      const json& extra, std::string_view failureLog) {
  // Bodies can be large and take a while to build: the poll thread must not wait for them.
  json tasks = json::array();
  for (const auto& ip : target.ips) {
    json task = {
        {"user", target.user}, {"pass", target.pass}, {"id", ""}, {"ip", ip}, {"status", ""}};
    if (!uris.empty() || bodiesFor) {
      task["uri"] = uris;
      task["httpBody"] = bodiesFor ? bodiesFor(ip) : std::vector<std::string>(uris.size());
    }
    if (extra.is_object()) task.update(extra);
    tasks.push_back(std::move(task));
  }
  {
    std::lock_guard lock(context.deviceTasksMutex);
    // The old tasks, bodies and all, are freed after the lock is released.
    context.deviceTasks.swap(tasks);
  }
  int result = context.httpService
                   ? context.httpService->connectDevices(&context, onDeviceReply, target.ips)
                   : -1;
  if (result == 0) return true;
  {
    std::lock_guard lock(context.deviceTasksMutex);
    context.deviceTasks = json::array();
  }
  diagLog(failureLog);
  if (auto run = integerField(extra, "run")) {
    for (const auto& ip : target.ips) {
      context.journal.record(context, *run, ip, "mgService", "deploy", json::object(), false, {});
    }
  }
  return false;
}
