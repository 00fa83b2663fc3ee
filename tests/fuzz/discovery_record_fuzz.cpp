// Any host on the network may answer the probe. Whatever it sends, the record handed to the
// page must be one JSON value the page can read (an object, or null) whose flags and ports are
// numbers, because the page does arithmetic and comparisons on them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "discovery/discovery_listener.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  std::string record;
  if (!parseDeviceRecord(reply, record)) return 0;
  const auto parsed = nlohmann::json::parse(record, nullptr, false);
  if (parsed.is_discarded() || !(parsed.is_object() || parsed.is_null())) std::abort();
  for (const auto& [key, value] : parsed.items()) {
    const bool numeric = key.find("Port") != std::string::npos ||
                         key.find("Enabled") != std::string::npos ||
                         key.find("Support") != std::string::npos;
    if (numeric ? !value.is_number_integer() : !value.is_string()) std::abort();
  }
  return 0;
}
