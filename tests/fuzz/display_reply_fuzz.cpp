// Display answers, connection events and notifications fed to the reply handler, with the tasks
// that a login, a playlist deploy, a configuration upload and a firmware deploy set up.
// Input: events, each one selector byte (channel and display) and a body that ends at 0x1E.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "app/app_context.h"
#include "device/device_client.h"
#include "device/device_replies.h"

using nlohmann::json;

namespace {

const char* const kPeers[] = {"10.77.1.10:80", "10.77.1.11:80", "10.77.1.12:80", "10.77.1.13:80",
                              "10.77.1.11:41000"};
constexpr int kStatuses[] = {200, kStatusNotification, kStatusConnectionError,
                             kStatusConnectionClosed, 404};

json deployTasks() {
  json tasks = json::parse(R"([{"ip":"10.77.1.10:80"},
    {"ip":"10.77.1.11:80","uri":["PUT /ISAPI/VideoAdvert/RequestUploadList?ID=",
      "PUT /ISAPI/VideoAdvert/FetchListConfig?ID="],"httpBody":["<R/>","<F/>"]},
    {"ip":"10.77.1.12:80","uri":["POST /ISAPI/UploadFile/TemplateConfig?name=a.conf"],
      "httpBody":["package"],"offset":0,"filesize":7},
    {"ip":"10.77.1.13:80","uri":["PUT /ISAPI/System/FetchFirmware?ID="],"httpBody":["<F/>"]}])");
  for (auto& task : tasks)
    task.update({{"user", "admin"}, {"pass", "pw"}, {"id", ""}, {"status", ""}});
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
  static const json kTasks = deployTasks();
  context->deviceTasks = kTasks;
  const char* text = reinterpret_cast<const char*>(data);
  for (size_t at = 0; at < size;) {
    const uint8_t selector = data[at++];
    size_t end = at;
    while (end < size && data[end] != 0x1E) ++end;
    const std::string body(text + at, end - at);
    at = end + 1;
    const int status = kStatuses[selector % 5];
    const std::string peer = kPeers[(selector / 5) % 5];
    if (!plausibleResult(onDeviceReply(context, body, peer, status))) __builtin_trap();
  }
  return 0;
}
