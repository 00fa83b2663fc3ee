#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dsim {

// Fault switches; they apply to every display of the process.
struct Faults {
  bool wrongCredentials = false;  // every login is refused
  bool neverAnswer = false;       // requests are read (and journalled) but never answered
  bool closeEarly = false;        // the connection is closed after the first request, unanswered
  bool malformedXml = false;      // every answer body is XML with an unclosed element
  int httpStatus = 0;             // non-zero: every request is answered with this status, no body
  int slowMs = 0;                 // each answer is delayed by this many milliseconds
  bool fetchSkip = false;         // a media list is not fetched, yet every file is reported done
  bool fetchFailOne = false;      // the last file of a media list is not fetched and counts failed
};

struct SimOptions {
  std::string address = "127.0.0.1";  // first display address (IPv4)
  int count = 1;                      // displays on consecutive addresses
  uint16_t port = 80;                 // HTTP port of every display (0: any free port)
  std::string user = "admin";
  std::string password = "12345";
  uint64_t freeSpace = uint64_t{1} << 40;  // bytes; RequestUploadList above it answers 503
  Faults faults;
  std::string journalPath;  // empty: no journal; "-": standard output
  int idleMs = 2000;        // a connection idle this long after an answer is closed
  int threads = 1;
  uint64_t maxBody = 64ull << 20;        // largest request body accepted (413 above)
  uint64_t journalBodyLimit = 64 << 10;  // bytes of a body copied into the journal
  int connectTimeoutMs = 10000;          // downloads and notifications
  int fetchTimeoutMs = 30000;            // a download making no progress this long fails
  int notifyWaitMs = 2000;               // how long an answer to a notification is awaited
  int maxConnections = 4096;             // accepted connections open at once, all displays
  bool discovery = true;                 // answer the hosts' probes on port 3704
  std::string kind = "standard";         // capabilities announced: standard, basic or banner
  bool hashDownloads = true;             // false: downloaded bytes are counted, not digested
  int parallelDownloads = 4;             // downloads of one order running at once
  bool help = false;
};

struct ParseResult {
  SimOptions options;
  std::string error;  // empty on success
};

ParseResult parseOptions(const std::vector<std::string>& args);
std::string usageText();

// Applies one "--fault" value ("wrong-credentials", "http-status=401", ...); false if unknown.
bool applyFault(Faults& faults, const std::string& fault);

}  // namespace dsim
