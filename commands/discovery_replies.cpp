#include "commands/discovery_replies.h"

#include "app/app_context.h"
#include "base/clock.h"
#include "base/json_fields.h"
#include "base/log.h"
#include "discovery/discovery_listener.h"
#include "store/store.h"

namespace {

// A display that answered is known from now on, under the address the page uses for it.
void rememberDisplay(Store& store, const nlohmann::json& record) {
  const std::string* address = stringField(record, "IPAddr");
  auto port = record.find("HTTPPort");
  if (!address || port == record.end()) return;
  std::string portText;
  if (port->is_number_integer()) {
    portText = std::to_string(port->get<int64_t>());
  } else if (port->is_string()) {
    portText = port->get<std::string>();
  } else {
    return;
  }
  store.displaySeen(*address + ":" + portText, record, nowMs());
}

}  // namespace

void onDiscoveryReply(AppContext& context, std::string reply) {
  auto record = readDeviceRecord(reply);
  if (!record) {
    diagLog("Failed to parse document:" + reply);
    return;
  }
  sendToPage(context,
             "{\"C\":\"add\",\"P\":" + dumpCompact(*record) + ",\"T\":\"device\",\"V\":1}");
  if (context.store) rememberDisplay(*context.store, *record);
}
