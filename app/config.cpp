#include "app/config.h"

#include <yaml-cpp/yaml.h>

#include <cmath>

#include "media/file_reading.h"

namespace {

bool readPort(const YAML::Node& document, const char* section, int32_t& port, std::string& error) {
  std::string key = std::string(section) + ": port";
  YAML::Node parent = document[section];
  if (!parent.IsDefined() || parent.IsNull()) {
    error = "the required key \"" + key + "\" is missing";
    return false;
  }
  if (!parent.IsMap()) {
    error = std::string(1, '"').append(section).append("\" must be a mapping that holds \"port\"");
    return false;
  }
  YAML::Node value = parent["port"];
  if (!value.IsDefined() || value.IsNull()) {
    error = "the required key \"" + key + "\" is missing";
    return false;
  }
  try {
    port = value.as<int32_t>();
  } catch (const YAML::Exception&) {
    std::string shown = value.IsScalar() ? "\"" + value.Scalar() + "\"" : "a non-scalar value";
    error = "\"" + key + "\" must be an integer, found " + shown;
    return false;
  }
  return true;
}

// An optional whole number of at least 0 under "history"; absent keeps `value`.
bool readLimit(const YAML::Node& history, const char* key, int64_t& value, std::string& error) {
  YAML::Node node = history[key];
  if (!node.IsDefined() || node.IsNull()) return true;
  const std::string name = std::string("history: ") + key;
  try {
    value = node.as<int64_t>();
  } catch (const YAML::Exception&) {
    std::string shown = node.IsScalar() ? "\"" + node.Scalar() + "\"" : "a non-scalar value";
    error = "\"" + name + "\" must be a whole number, found " + shown;
    return false;
  }
  if (value < 0) {
    error = "\"" + name + "\" must be 0 (no limit) or more";
    return false;
  }
  return true;
}

// Optional: absent or empty is 0 (no cap).
bool readRate(const YAML::Node& document, const char* key, double& rate, std::string& error) {
  const YAML::Node value = document[key];
  if (!value.IsDefined() || value.IsNull()) return true;
  try {
    rate = value.as<double>();
  } catch (const YAML::Exception&) {
    rate = -1;
  }
  if (std::isfinite(rate) && rate >= 0) return true;
  const std::string shown = value.IsScalar() ? "\"" + value.Scalar() + "\"" : "a non-scalar value";
  error =
      std::string(1, '"').append(key).append("\" must be a number of Mbit/s, 0 or more, found ") +
      shown;
  return false;
}

}  // namespace

Result<AppConfig> loadConfig(const std::string& exeFolder, const std::string& pageFolder) {
  const std::string path = exeFolder + "/config.yaml";
  auto fail = [&](const std::string& problem) { return failure(path + ": " + problem); };
  std::string text = readFileText(path);
  if (text.empty()) return fail("the file is missing, unreadable or empty");

  AppConfig config;
  YAML::Node document;
  try {
    document = YAML::Load(text);
  } catch (const YAML::Exception& e) {
    return fail("not valid YAML (line " + std::to_string(e.mark.line + 1) + ", column " +
                std::to_string(e.mark.column + 1) + "): " + e.msg);
  }
  if (!document.IsMap()) return fail("the top level must be a mapping of keys");

  std::string problem;
  if (!readPort(document, "notification", config.notificationPort, problem) ||
      !readPort(document, "search", config.searchPort, problem) ||
      !readRate(document, "sendCapMbps", config.sendCapMbps, problem) ||
      !readRate(document, "sendCapPerDisplayMbps", config.sendCapPerDisplayMbps, problem)) {
    return fail(problem);
  }

  YAML::Node history = document["history"];
  if (history.IsDefined() && !history.IsNull()) {
    if (!history.IsMap())
      return fail("\"history\" must be a mapping that holds \"keep_days\" and \"keep_runs\"");
    if (!readLimit(history, "keep_days", config.historyDays, problem) ||
        !readLimit(history, "keep_runs", config.historyRuns, problem))
      return fail(problem);
  }

  YAML::Node language = document["language"];
  if (!language.IsDefined()) return fail("the required key \"language\" is missing");
  if (language.IsNull()) {
    config.language = "null";
  } else if (language.IsScalar()) {
    config.language = language.Scalar();
  } else {
    return fail("\"language\" must be a text such as \"auto\" or \"en\"");
  }
  const std::string page = pageFolder.empty() ? exeFolder + "/web" : pageFolder;
  if (config.language.empty() || !isDirectory(page + "/lang/" + config.language)) {
    config.language = "auto";
  }
  return config;
}
