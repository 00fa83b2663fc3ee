#include "app/config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "media/atomic_files.h"
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

// An optional number of at least 0; absent or empty keeps `value`.
template <class Number>
bool readOptional(const YAML::Node& node, const std::string& name, const char* expected,
                  Number& value, std::string& error) {
  if (!node.IsDefined() || node.IsNull()) return true;
  Number read{};
  bool good = true;
  try {
    read = node.as<Number>();
  } catch (const YAML::Exception&) {
    good = false;
  }
  if (good && read >= 0 && std::isfinite(static_cast<double>(read))) {
    value = read;
    return true;
  }
  const std::string shown = node.IsScalar() ? "\"" + node.Scalar() + "\"" : "a non-scalar value";
  error = "\"" + name + "\" must be " + expected + ", found " + shown;
  return false;
}

bool readRate(const YAML::Node& document, const char* key, double& rate, std::string& error) {
  return readOptional(document[key], key, "a number of Mbit/s, 0 or more", rate, error);
}

bool readLimit(const YAML::Node& history, const char* key, int64_t& value, std::string& error) {
  return readOptional(history[key], std::string("history: ") + key,
                      "a whole number, 0 (no limit) or more", value, error);
}

// The line of top-level `key` set to `value`; its comment stays where it was.
std::string withValue(const std::string& line, const std::string& key, const std::string& value) {
  std::string changed = key + ": " + value;
  const size_t comment = line.find(" #");
  if (comment == std::string::npos) return changed;
  changed.resize(std::max(changed.size() + 1, comment), ' ');
  return changed + line.substr(comment + (changed.size() > comment ? 1 : 0));
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
      !readRate(document, "sendCapPerDisplayMbps", config.sendCapPerDisplayMbps, problem) ||
      !readOptional(document["waveSize"], "waveSize",
                    "a whole number of displays, 0 (no limit) or more", config.waveSize, problem)) {
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

  if (const YAML::Node file = document["credentialsFile"]; file.IsDefined() && !file.IsNull()) {
    if (!file.IsScalar()) return fail("\"credentialsFile\" must be the path of a file");
    config.credentialsFile = file.Scalar();
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

Result<void> saveConfigValues(const std::string& exeFolder,
                              const std::vector<std::pair<std::string, std::string>>& values) {
  const std::string path = exeFolder + "/config.yaml";
  std::string text = readFileText(path);
  if (text.empty()) return failure(path + ": the file is missing, unreadable or empty");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  for (const auto& [key, value] : values) {
    const std::string prefix = key + ":";
    auto line = std::find_if(lines.begin(), lines.end(), [&prefix](const std::string& candidate) {
      return candidate.rfind(prefix, 0) == 0;
    });
    if (line == lines.end()) {
      lines.push_back(key + ": " + value);
    } else {
      *line = withValue(*line, key, value);
    }
  }
  std::string written;
  for (const auto& line : lines) written += line + "\n";
  if (!writeFileAtomically(path, written)) return failure("could not write " + path);
  return {};
}
