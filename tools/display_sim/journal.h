#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dsim {

// The journal: one compact JSON object per line, members sorted, every line flushed at once.
// Each line has "event" ("request", "fetch" or "notify"), "seq" (1, 2, ... in write order)
// and "time_ms" (Unix time in milliseconds). Texts that are not valid UTF-8 are written as
// Base64 with a sibling member "<name>_encoding": "base64".

struct RequestRecord {
  std::string display;  // the display's own address:port
  std::string peer;     // the client's address:port
  std::string method;   // as sent ("" when the head could not be parsed)
  std::string target;
  std::string version;                                       // "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
  std::string body;
  std::string rawHead;  // the exact bytes of the request line and headers, blank line included
  std::string error;    // why the request could not be handled normally ("" if it could)
  bool answered = false;
  int replyStatus = 0;    // HTTP status of the answer
  std::string replyCode;  // StatusCode of a ResponseStatus answer
  std::string replyBody;
};

struct FetchRecord {
  std::string display;
  std::string url;     // as found in the body
  std::string target;  // request target sent ("" when the URL was unusable)
  int httpStatus = 0;  // 0: no answer
  uint64_t bytes = 0;  // body bytes received
  std::string md5;     // of those bytes; empty (and left out) when not hashed
  bool ok = false;
  std::string error;
  int64_t durationMs = 0;
};

struct NotifyRecord {
  std::string display;
  std::string kind;    // "NotifyFetchResult" or "NotifyFetchFirmware"
  std::string target;  // notify server host:port ("" when unusable)
  std::string url;     // request path
  std::string body;
  bool sent = false;
  int answerStatus = 0;  // 0: no answer within the wait
  std::string error;
};

bool isValidUtf8(std::string_view text);
std::string base64Encode(std::string_view bytes);

// Stores `bytes` (at most `limit` of them) under `key` as text or Base64.
void putText(nlohmann::json& object, const std::string& key, std::string_view bytes,
             uint64_t limit);

nlohmann::json encodeRequest(const RequestRecord& record, uint64_t bodyLimit);
nlohmann::json encodeFetch(const FetchRecord& record);
nlohmann::json encodeNotify(const NotifyRecord& record);

// The line (without its line end) for `entry` with "seq" and "time_ms" added.
std::string journalLine(nlohmann::json entry, uint64_t seq, int64_t timeMs);

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Appends to `path` ("-" = standard output). False with `error` set on failure.
  bool open(const std::string& path, std::string& error);
  bool enabled() const { return file_ != nullptr; }
  void write(nlohmann::json entry);  // thread-safe; does nothing when not open

 private:
  std::mutex mutex_;
  FILE* file_ = nullptr;
  bool ownsFile_ = false;
  uint64_t seq_ = 0;
};

}  // namespace dsim
