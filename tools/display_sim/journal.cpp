#include "journal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "digest.h"

namespace dsim {

bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += extra + 1;
  }
  return true;
}

std::string base64Encode(std::string_view bytes) {
  static const char* const kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
            kAlphabet[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    const uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

void putText(nlohmann::json& object, const std::string& key, std::string_view bytes,
             uint64_t limit) {
  const std::string_view kept = bytes.substr(0, std::min<uint64_t>(bytes.size(), limit));
  // A text cut inside a character loses the character's first bytes, not its validity.
  const size_t maxCut = kept.size() < bytes.size() ? std::min<size_t>(3, kept.size()) : 0;
  for (size_t cut = 0; cut <= maxCut; ++cut) {
    const std::string_view candidate = kept.substr(0, kept.size() - cut);
    if (isValidUtf8(candidate)) {
      object[key] = std::string(candidate);
      return;
    }
  }
  object[key] = base64Encode(kept);
  object[key + "_encoding"] = "base64";
}

nlohmann::json encodeRequest(const RequestRecord& r, uint64_t bodyLimit) {
  nlohmann::json j;
  j["event"] = "request";
  j["display"] = r.display;
  j["peer"] = r.peer;
  putText(j, "method", r.method, UINT64_MAX);
  putText(j, "target", r.target, UINT64_MAX);
  j["version"] = r.version;
  // Header names and values are text; bytes that are not UTF-8 become U+FFFD when the line
  // is written (raw_head keeps the exact bytes). Repeated names are joined with ", ".
  nlohmann::json headers = nlohmann::json::object();
  for (const auto& [name, value] : r.headers) {
    auto it = headers.find(name);
    if (it != headers.end()) {
      *it = it->get<std::string>() + ", " + value;
    } else {
      headers[name] = value;
    }
  }
  j["headers"] = std::move(headers);
  putText(j, "body", r.body, bodyLimit);
  j["body_size"] = r.body.size();
  j["body_md5"] = md5Hex(r.body);
  j["body_truncated"] = r.body.size() > bodyLimit;
  putText(j, "raw_head", r.rawHead, UINT64_MAX);
  if (!r.error.empty()) j["error"] = r.error;
  j["answered"] = r.answered;
  if (r.answered) {
    j["reply_status"] = r.replyStatus;
    j["reply_code"] = r.replyCode;
    putText(j, "reply_body", r.replyBody, bodyLimit);
  }
  return j;
}

nlohmann::json encodeFetch(const FetchRecord& r) {
  nlohmann::json j;
  j["event"] = "fetch";
  j["display"] = r.display;
  putText(j, "url", r.url, UINT64_MAX);
  putText(j, "target", r.target, UINT64_MAX);
  j["status"] = r.httpStatus;
  j["bytes"] = r.bytes;
  if (!r.md5.empty()) j["md5"] = r.md5;  // empty when the bytes were not hashed
  j["ok"] = r.ok;
  if (!r.error.empty()) j["error"] = r.error;
  j["duration_ms"] = r.durationMs;
  return j;
}

nlohmann::json encodeNotify(const NotifyRecord& r) {
  nlohmann::json j;
  j["event"] = "notify";
  j["display"] = r.display;
  j["kind"] = r.kind;
  putText(j, "target", r.target, UINT64_MAX);
  putText(j, "url", r.url, UINT64_MAX);
  putText(j, "body", r.body, UINT64_MAX);
  j["sent"] = r.sent;
  j["answer_status"] = r.answerStatus;
  if (!r.error.empty()) j["error"] = r.error;
  return j;
}

std::string journalLine(nlohmann::json entry, uint64_t seq, int64_t timeMs) {
  entry["seq"] = seq;
  entry["time_ms"] = timeMs;
  return entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Journal::~Journal() {
  if (file_ != nullptr && ownsFile_) std::fclose(file_);
}

bool Journal::open(const std::string& path, std::string& error) {
  if (path == "-") {
    file_ = stdout;
    ownsFile_ = false;
    return true;
  }
  file_ = std::fopen(path.c_str(), "ae");
  if (file_ == nullptr) {
    error = "cannot open journal " + path + ": " + std::strerror(errno);
    return false;
  }
  ownsFile_ = true;
  return true;
}

void Journal::write(nlohmann::json entry) {
  if (file_ == nullptr) return;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::lock_guard lock(mutex_);
  std::string line = journalLine(std::move(entry), ++seq_, now);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace dsim
