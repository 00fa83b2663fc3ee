#pragma once

#include <optional>
#include <string>
#include <vector>

struct CliOptions {
  std::string folder;                             // empty: the executable's folder
  std::vector<std::vector<std::string>> answers;  // one entry per dialog, in order
  double waitSeconds = 0;
  bool waitGiven = false;
  std::string until;
  std::vector<std::string> messages;  // "-" stands for the requests read from stdin
};

// Parses the command line; on a usage error returns nothing and sets `error`.
std::optional<CliOptions> parseCliOptions(const std::vector<std::string>& args, std::string& error);

inline constexpr const char* kCliUsage =
    "usage: quillora-cli [--folder DIR] [--choose PATH]... [--answers FILE] [--wait SECONDS]\n"
    "                    [--until TEXT] [MESSAGE... | -]\n";
