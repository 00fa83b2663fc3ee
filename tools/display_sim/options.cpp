#include "options.h"

#include <arpa/inet.h>

#include <charconv>
#include <functional>
#include <map>

namespace dsim {
namespace {

template <typename T>
bool parseNumber(const std::string& text, T& out, T min, T max) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) return false;
  out = value;
  return true;
}

bool parseMs(const std::string& text, int& out) {
  return parseNumber(text, out, 0, 3600000);
}

}  // namespace

bool applyFault(Faults& faults, const std::string& fault) {
  if (fault == "wrong-credentials") return faults.wrongCredentials = true;
  if (fault == "never-answer") return faults.neverAnswer = true;
  if (fault == "close-early") return faults.closeEarly = true;
  if (fault == "malformed-xml") return faults.malformedXml = true;
  if (fault == "fetch-skip") return faults.fetchSkip = true;
  if (fault == "fetch-fail-one") return faults.fetchFailOne = true;
  const auto eq = fault.find('=');
  if (eq == std::string::npos) return false;
  const std::string name = fault.substr(0, eq);
  const std::string value = fault.substr(eq + 1);
  if (name == "http-status") return parseNumber(value, faults.httpStatus, 200, 599);
  if (name == "slow") return parseMs(value, faults.slowMs);
  return false;
}

ParseResult parseOptions(const std::vector<std::string>& args) {
  ParseResult result;
  SimOptions& o = result.options;
  using Setter = std::function<bool(const std::string&)>;
  const std::map<std::string, Setter> withValue = {
      {"--address",
       [&](const std::string& v) {
         in_addr a{};
         if (inet_pton(AF_INET, v.c_str(), &a) != 1) return false;
         o.address = v;
         return true;
       }},
      {"--count", [&](const std::string& v) { return parseNumber(v, o.count, 1, 4096); }},
      {"--kind",
       [&](const std::string& v) {
         if (v != "standard" && v != "basic" && v != "banner") return false;
         o.kind = v;
         return true;
       }},
      {"--port",
       [&](const std::string& v) { return parseNumber(v, o.port, uint16_t{0}, uint16_t{65535}); }},
      {"--user",
       [&](const std::string& v) {
         o.user = v;
         return true;
       }},
      {"--password",
       [&](const std::string& v) {
         o.password = v;
         return true;
       }},
      {"--free-space",
       [&](const std::string& v) { return parseNumber(v, o.freeSpace, uint64_t{0}, UINT64_MAX); }},
      {"--fault", [&](const std::string& v) { return applyFault(o.faults, v); }},
      {"--journal",
       [&](const std::string& v) {
         o.journalPath = v;
         return !v.empty();
       }},
      {"--idle-ms", [&](const std::string& v) { return parseNumber(v, o.idleMs, 1, 3600000); }},
      {"--threads", [&](const std::string& v) { return parseNumber(v, o.threads, 1, 16); }},
      {"--max-body",
       [&](const std::string& v) {
         return parseNumber(v, o.maxBody, uint64_t{0}, uint64_t{1} << 32);
       }},
      {"--journal-body-limit",
       [&](const std::string& v) {
         return parseNumber(v, o.journalBodyLimit, uint64_t{0}, uint64_t{64} << 20);
       }},
      {"--connect-timeout-ms",
       [&](const std::string& v) { return parseNumber(v, o.connectTimeoutMs, 1, 3600000); }},
      {"--fetch-timeout-ms",
       [&](const std::string& v) { return parseNumber(v, o.fetchTimeoutMs, 1, 3600000); }},
      {"--notify-wait-ms", [&](const std::string& v) { return parseMs(v, o.notifyWaitMs); }},
      {"--hash",
       [&](const std::string& v) {
         if (v != "on" && v != "off") return false;
         o.hashDownloads = v == "on";
         return true;
       }},
      {"--parallel-downloads",
       [&](const std::string& v) { return parseNumber(v, o.parallelDownloads, 1, 64); }},
      {"--max-connections",
       [&](const std::string& v) { return parseNumber(v, o.maxConnections, 1, 100000); }},
  };

  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    if (name == "--help" || name == "-h") {
      o.help = true;
      continue;
    }
    if (name == "--no-discovery") {
      o.discovery = false;
      continue;
    }
    std::string value;
    bool inlineValue = false;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    const auto it = withValue.find(name);
    if (it == withValue.end()) {
      result.error = "unknown option: " + args[i];
      return result;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        result.error = "missing value for " + name;
        return result;
      }
      value = args[++i];
    }
    if (!it->second(value)) {
      result.error = "invalid value for " + name + ": " + value;
      return result;
    }
  }

  in_addr first{};
  inet_pton(AF_INET, o.address.c_str(), &first);
  if (uint64_t{ntohl(first.s_addr)} + static_cast<uint64_t>(o.count) - 1 > 0xFFFFFFFFull)
    result.error = "--count runs past 255.255.255.255";
  return result;
}

std::string usageText() {
  return R"(Usage: quillora-display-sim [OPTION]...
Simulates Quillora signage displays: login, /ISAPI requests, media and firmware
fetches with notifications, and the configuration upload (the display contract).

  --address A            first display address, IPv4 (default 127.0.0.1); each
                         display binds its own address, which must exist locally
  --count N              N displays on consecutive addresses from A (default 1)
  --kind K               capabilities announced to a search: standard (video and
                         images), basic (images) or banner (default standard)
  --no-discovery         do not answer probes (UDP port 3704 on the group
                         239.255.255.250)
  --port P               HTTP port of every display (default 80; 0 = any free port)
  --user U               login user name (default admin)
  --password P           login password (default 12345)
  --free-space BYTES     RequestUploadList above this total answers 503
                         (default 1099511627776)
  --fault F              fault switch, repeatable, for every display:
                           wrong-credentials   every login is refused
                           never-answer        requests are read, never answered
                           close-early         close after the first request, unanswered
                           http-status=CODE    answer every request with CODE (200-599),
                                               empty body
                           malformed-xml       answer bodies have an unclosed element
                           slow=MS             delay every answer by MS milliseconds
                           fetch-skip          fetch nothing of a media list, yet report
                                               every file as fetched
                           fetch-fail-one      fetch a media list but its last file, and
                                               report that one as failed
  --journal FILE         append one JSON line per request received, download and
                         notification ("-" = standard output)
  --idle-ms MS           close a connection idle this long (default 2000)
  --threads N            threads running the event loop (default 1)
  --max-body BYTES       largest request body accepted (default 67108864)
  --journal-body-limit BYTES  body bytes copied into the journal (default 65536)
  --connect-timeout-ms MS     connect time-out of downloads/notifications (default 10000)
  --fetch-timeout-ms MS       a download without progress this long fails (default 30000)
  --notify-wait-ms MS         wait for an answer to a notification (default 2000)
  --hash on|off          digest every downloaded file into the journal (default on);
                         off counts the bytes only
  --parallel-downloads N downloads of one fetch order at once, 1-64 (default 4;
                         1 = one after another)
  --max-connections N    open accepted connections, all displays (default 4096)
  -h, --help             show this text

Standard output: "LISTEN ADDRESS:PORT" per display, then "READY N" once all
listen. SIGINT/SIGTERM stop it (exit 0). Exit 1: usage error; 2: start failure.
)";
}

}  // namespace dsim
