#include "app/cli_options.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "media/file_reading.h"
#include "media/names.h"

namespace {

// JSON text is UTF-8 but Linux file names need not be: a byte that starts no UTF-8 sequence is
// carried through the parser as the private-use character U+10FF00 + byte and turned back
// after. Text that holds such characters already is parsed as it is.
bool holdsCarriers(const std::string& text) {
  for (size_t at = 0; (at = text.find("\xF4\x8F", at)) != std::string::npos; ++at) {
    if (at + 2 < text.size() && (static_cast<unsigned char>(text[at + 2]) & 0xFE) == 0xBE)
      return true;
  }
  return false;
}

std::string carryStrayBytes(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8SequenceLength(text, at);
    if (length > 0) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(text[at++]);
    out += "\xF4\x8F";
    out += static_cast<char>(0xBC | (byte >> 6));
    out += static_cast<char>(0x80 | (byte & 0x3F));
  }
  return out;
}

std::string restoreStrayBytes(const std::string& text) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text.compare(at, 2, "\xF4\x8F") == 0 && at + 3 < text.size() &&
        (static_cast<unsigned char>(text[at + 2]) & 0xFE) == 0xBE) {
      out += static_cast<char>(((text[at + 2] & 0x03) << 6) | (text[at + 3] & 0x3F));
      at += 3;
    } else {
      out += text[at];
    }
  }
  return out;
}

// An --answers file: a JSON array whose entries are arrays of paths ([] = cancelled).
Result<> readAnswers(const std::string& path, std::vector<std::vector<std::string>>& answers) {
  std::string text = readFileText(path);
  const bool carried = !holdsCarriers(text);
  auto parsed = nlohmann::json::parse(carried ? carryStrayBytes(text) : text, nullptr, false);
  if (text.empty() || parsed.is_discarded() || !parsed.is_array()) {
    return failure("--answers " + path + ": expected a JSON array of arrays of paths");
  }
  for (const auto& entry : parsed) {
    if (!entry.is_array())
      return failure("--answers " + path + ": every entry must be an array of paths");
    std::vector<std::string> paths;
    for (const auto& p : entry) {
      if (!p.is_string()) return failure("--answers " + path + ": paths must be strings");
      paths.push_back(carried ? restoreStrayBytes(p.get<std::string>()) : p.get<std::string>());
    }
    answers.push_back(std::move(paths));
  }
  return {};
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

Result<CliOptions> parseCliOptions(const std::vector<std::string>& args) {
  CliOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool takesValue = arg == "--folder" || arg == "--choose" || arg == "--answers" ||
                      arg == "--wait" || arg == "--until";
    if (takesValue) {
      if (i + 1 >= args.size()) return failure(arg + " needs a value");
      const std::string& value = args[++i];
      if (arg == "--folder") {
        options.folder = value;
      } else if (arg == "--choose") {
        options.answers.push_back({value});
      } else if (arg == "--answers") {
        if (auto read = readAnswers(value, options.answers); !read) return failure(read.error());
      } else if (arg == "--wait") {
        if (!parseSeconds(value, options.waitSeconds)) {
          return failure("--wait needs a number of seconds, not \"" + value + "\"");
        }
        options.waitGiven = true;
      } else {
        options.until = value;
      }
    } else if (arg == "--serve") {
      options.serve = true;
    } else if (arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
      return failure("unknown option " + arg);
    } else {
      options.messages.push_back(arg);
    }
  }
  return options;
}
