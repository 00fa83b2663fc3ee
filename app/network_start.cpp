#include "app/network_start.h"

#include "app/app_context.h"
#include "deploy/run_journal.h"
#include "device/http_service.h"
#include "discovery/discovery_listener.h"

int startNetwork(AppContext& context) {
  context.localInterfaces = listLocalInterfaces();
  context.httpService = std::make_unique<HttpService>(
      DeviceTimeouts{}, SendCapRates{context.sendCapMbps * kBytesPerMbit,
                                     context.sendCapPerDisplayMbps * kBytesPerMbit});
  context.httpService->startPolling();
  watchIdleRuns(context);
  if (context.localInterfaces.empty()) return 0;
  std::vector<std::string> addresses;
  for (const auto& local : context.localInterfaces) addresses.push_back(local.address);
  if (context.httpService->startListeners(context.webFolder(), addresses,
                                          context.notificationPort) != 0) {
    return -1;
  }
  context.discovery =
      std::make_unique<DiscoveryListener>(static_cast<uint32_t>(context.searchPort));
  return context.discovery->open(addresses);
}
