#include "app/cli_options.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "media/file_utils.h"

namespace {

// An --answers file: a JSON array whose entries are arrays of paths ([] = cancelled).
bool readAnswers(const std::string& path, std::vector<std::vector<std::string>>& answers,
                 std::string& error) {
  std::string text = readFileText(path);
  auto parsed = nlohmann::json::parse(text, nullptr, false);
  if (text.empty() || parsed.is_discarded() || !parsed.is_array()) {
    error = "--answers " + path + ": expected a JSON array of arrays of paths";
    return false;
  }
  for (const auto& entry : parsed) {
    if (!entry.is_array()) {
      error = "--answers " + path + ": every entry must be an array of paths";
      return false;
    }
    std::vector<std::string> paths;
    for (const auto& p : entry) {
      if (!p.is_string()) {
        error = "--answers " + path + ": paths must be strings";
        return false;
      }
      paths.push_back(p.get<std::string>());
    }
    answers.push_back(std::move(paths));
  }
  return true;
}

bool parseSeconds(const std::string& text, double& seconds) {
  try {
    size_t used = 0;
    seconds = std::stod(text, &used);
    return used == text.size() && std::isfinite(seconds) && seconds >= 0;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::optional<CliOptions> parseCliOptions(const std::vector<std::string>& args,
                                          std::string& error) {
  CliOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool takesValue = arg == "--folder" || arg == "--choose" || arg == "--answers" ||
                      arg == "--wait" || arg == "--until";
    if (takesValue) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return std::nullopt;
      }
      const std::string& value = args[++i];
      if (arg == "--folder") {
        options.folder = value;
      } else if (arg == "--choose") {
        options.answers.push_back({value});
      } else if (arg == "--answers") {
        if (!readAnswers(value, options.answers, error)) return std::nullopt;
      } else if (arg == "--wait") {
        if (!parseSeconds(value, options.waitSeconds)) {
          error = "--wait needs a number of seconds, not \"" + value + "\"";
          return std::nullopt;
        }
        options.waitGiven = true;
      } else {
        options.until = value;
      }
    } else if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
      error = "unknown option " + arg;
      return std::nullopt;
    } else {
      options.messages.push_back(arg);
    }
  }
  return options;
}
