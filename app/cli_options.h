#pragma once

#include <string>
#include <vector>

#include "base/result.h"

struct CliOptions {
  std::string folder;                             // empty: the executable's folder
  std::vector<std::vector<std::string>> answers;  // one entry per dialog, in order
  double waitSeconds = 0;
  bool waitGiven = false;
  std::string until;
  std::vector<std::string> messages;  // "-" stands for the requests read from stdin
  bool serve = false;                 // --serve: run, schedules too, until SIGTERM
  bool help = false;                  // --help: print kCliHelp, nothing else
  bool version = false;               // --version: print kCliVersion, nothing else
};

// Parses the command line; a failure is a usage error.
Result<CliOptions> parseCliOptions(const std::vector<std::string>& args);

inline constexpr const char* kCliUsage =
    "usage: quillora-cli [--folder DIR] [--choose PATH]... [--answers FILE] [--wait SECONDS]\n"
    "                    [--until TEXT] [MESSAGE... | -]\n"
    "       quillora-cli [--folder DIR] --serve\n";

// The manual page quillora-cli(1) says the same; change both together.
inline constexpr const char* kCliHelp =
    "       quillora-cli --help | --version\n"
    "\n"
    "Runs the Quillora host without its window. Each MESSAGE is a request of the page (a JSON\n"
    "object); every message the page would receive is printed as one JSON line.\n"
    "\n"
    "  --folder DIR     keep config.yaml, the page, playlists, media and records in DIR\n"
    "  --choose PATH    answer the next file dialog with PATH (may be repeated)\n"
    "  --answers FILE   answer the file dialogs from FILE, a JSON array of arrays of paths\n"
    "  --wait SECONDS   wait SECONDS after the last request for the network's messages\n"
    "  --until TEXT     wait until a printed line holds TEXT (at most --wait SECONDS)\n"
    "  -                read one request a line from standard input\n"
    "  --serve          run the host and its schedules until SIGTERM or SIGINT, taking\n"
    "                   requests from standard input while it is open\n"
    "  --help           print this help and exit\n"
    "  --version        print the version and exit\n"
    "\n"
    "Without --folder, the program's own folder is used when it holds config.yaml and may be\n"
    "written; else $XDG_DATA_HOME/quillora (by default ~/.local/share/quillora).\n"
    "\n"
    "Exit status: 0 done, 1 usage error, 2 another instance runs, 3 unusable config.yaml.\n";

inline constexpr const char* kCliVersion = "quillora-cli " QUILLORA_VERSION "\n";
