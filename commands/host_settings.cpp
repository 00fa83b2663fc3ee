#include "commands/host_settings.h"

#include <cmath>
#include <optional>
#include <sstream>

#include "app/app_context.h"
#include "app/config.h"
#include "base/json_fields.h"
#include "deploy/fetch_gate.h"
#include "device/http_service.h"
#include "device/send_cap.h"

using nlohmann::json;

namespace {

// More would be no wave at all, and keeps a typing slip from reading as a limit.
constexpr int64_t kMaxWave = 10000;
// 100 Gbit/s: beyond any link a display is on.
constexpr double kMaxCap = 100000;

struct HostSettings {
  double sendCapMbps = 0;
  double sendCapPerDisplayMbps = 0;
  int64_t waveSize = 0;
};

json offOr(double value) {
  return value > 0 ? json(value) : json(nullptr);
}

json settingsJson(const HostSettings& settings) {
  return {{"sendCapMbps", offOr(settings.sendCapMbps)},
          {"sendCapPerDisplayMbps", offOr(settings.sendCapPerDisplayMbps)},
          {"waveSize", settings.waveSize > 0 ? json(settings.waveSize) : json(nullptr)}};
}

HostSettings current(AppContext& context) {
  std::lock_guard lock(context.deviceTasksMutex);
  return {context.sendCapMbps, context.sendCapPerDisplayMbps,
          static_cast<int64_t>(context.waveSize)};
}

// The member's new value into `value`: a number within (0, max], or null for off (0).
std::string readSetting(const json& payload, const char* key, double max, bool whole,
                        double& value) {
  const auto found = payload.find(key);
  if (found == payload.end()) return {};
  if (found->is_null()) {
    value = 0;
    return {};
  }
  const bool number = found->is_number() && std::isfinite(found->get<double>());
  const double read = number ? found->get<double>() : 0;
  if (!number || read <= 0 || read > max || (whole && read != std::floor(read))) {
    std::ostringstream why;
    why << '"' << key << "\" must be " << (whole ? "a whole number" : "a number") << " above 0"
        << " and at most " << max << ", or null for none";
    return why.str();
  }
  value = read;
  return {};
}

std::string yamlNumber(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

json reply(const HostSettings& settings) {
  json payload = settingsJson(settings);
  payload["status"] = "OK";
  return payload;
}

}  // namespace

std::string getHostSettings(AppContext& context, json& message) {
  message["P"] = reply(current(context));
  return dumpCompact(message);
}

std::string saveHostSettings(AppContext& context, json& message) {
  const json& payload = message.contains("P") && message["P"].is_object() ? message["P"] : json();
  HostSettings wanted = current(context);
  double wave = static_cast<double>(wanted.waveSize);
  std::string why = payload.is_object() ? "" : "the request's \"P\" must be an object";
  if (why.empty()) why = readSetting(payload, "sendCapMbps", kMaxCap, false, wanted.sendCapMbps);
  if (why.empty()) {
    why =
        readSetting(payload, "sendCapPerDisplayMbps", kMaxCap, false, wanted.sendCapPerDisplayMbps);
  }
  if (why.empty()) why = readSetting(payload, "waveSize", kMaxWave, true, wave);
  if (why.empty()) {
    wanted.waveSize = static_cast<int64_t>(wave);
    const Result<void> saved = saveConfigValues(
        context.exeFolder, {{"sendCapMbps", yamlNumber(wanted.sendCapMbps)},
                            {"sendCapPerDisplayMbps", yamlNumber(wanted.sendCapPerDisplayMbps)},
                            {"waveSize", std::to_string(wanted.waveSize)}});
    if (!saved) why = saved.error();
  }
  if (!why.empty()) {
    message["P"] = {{"status", "ERROR"}, {"error", why}};
    return dumpCompact(message);
  }
  {
    std::lock_guard lock(context.deviceTasksMutex);
    context.sendCapMbps = wanted.sendCapMbps;
    context.sendCapPerDisplayMbps = wanted.sendCapPerDisplayMbps;
    context.waveSize = static_cast<size_t>(wanted.waveSize);
  }
  if (context.httpService) {
    context.httpService->setSendCap(
        {wanted.sendCapMbps * kBytesPerMbit, wanted.sendCapPerDisplayMbps * kBytesPerMbit});
  }
  startHeldTasks(context);
  message["P"] = reply(wanted);
  return dumpCompact(message);
}
