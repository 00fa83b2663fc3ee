#pragma once

#include <string>

struct AppContext;

// Turns one discovery answer into a DeviceRecord, reports it to the page as "device"/"add"
// and remembers the display.
void onDiscoveryReply(AppContext& context, std::string reply);
