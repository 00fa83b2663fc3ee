// Display answers, connection events and notifications fed to the reply handler, with the tasks
// that a login, a playlist deploy, a configuration upload and a firmware deploy set up.
// Input: events, each one selector byte (channel and display) and a body that ends at 0x1E.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "app/app_context.h"
#include "deploy/device_replies.h"
#include "device/device_client.h"

using nlohmann::json;

namespace {

const char* const kPeers[] = {"10.77.1.10:80", "10.77.1.11:80", "10.77.1.12:80", "10.77.1.13:80",
                              "10.77.1.11:41000"};
constexpr int kPosted = -1;  // to a notification path
constexpr int kStatuses[] = {200, kPosted, kStatusConnectionError, kStatusConnectionClosed, 404};

DeviceTaskList deployTasks() {
  struct Shape {
    std::vector<std::string> uris, bodies;
    uint64_t fileSize;
  };
  const Shape shapes[] = {{{}, {}, 0},
                          {{"PUT /ISAPI/VideoAdvert/RequestUploadList?ID=",
                            "PUT /ISAPI/VideoAdvert/FetchListConfig?ID="},
                           {"<R/>", "<F/>"},
                           0},
                          {{"POST /ISAPI/UploadFile/TemplateConfig?name=a.conf"}, {"package"}, 7},
                          {{"PUT /ISAPI/System/FetchFirmware?ID="}, {"<F/>"}, 0}};
  DeviceTaskList tasks;
  for (size_t i = 0; i < 4; ++i) {
    auto task = std::make_shared<DeviceTask>();
    task->user = "admin";
    task->pass = "pw";
    task->ip = kPeers[i];
    task->uris = shapes[i].uris;
    task->bodies = shapes[i].bodies;
    task->fileSize = shapes[i].fileSize;
    tasks.push_back(task);
  }
  return tasks;
}

// What the handler may ask to write: nothing, or one whole request.
bool plausibleResult(const std::string& result) {
  return result.empty() || result == "OK" || result == "ERROR" ||
         ((result.rfind("POST ", 0) == 0 || result.rfind("PUT ", 0) == 0) &&
          result.find("\r\n\r\n") != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AppContext* context = [] {
    auto* made = new AppContext("/nonexistent", AppConfig{});
    made->page.connect([](std::string text) {
      json m = json::parse(text, nullptr, false);
      if (m.is_discarded() || m["C"] != "deploy" || !m["P"].contains("ip")) __builtin_trap();
    });
    return made;
  }();
  const DeviceTaskList tasks = deployTasks();
  context->deviceTasks = tasks;
  context->awaitingTasks.clear();
  const char* text = reinterpret_cast<const char*>(data);
  for (size_t at = 0; at < size;) {
    const uint8_t selector = data[at++];
    size_t end = at;
    while (end < size && data[end] != 0x1E) ++end;
    const std::string body(text + at, end - at);
    at = end + 1;
    const int status = kStatuses[selector % 5];
    const std::string peer = kPeers[(selector / 5) % 5];
    if (status == kPosted) {
      onNotification(*context, body, peer);
    } else if (!plausibleResult(
                   onTaskEvent(*context, tasks[(selector / 5) % 4], body, peer, status))) {
      __builtin_trap();
    }
  }
  return 0;
}
