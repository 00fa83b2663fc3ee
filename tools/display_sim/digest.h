#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace dsim {

// MD5 of `data` as 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view data);

// The login digest: md5Hex(sessionId ":" user ":" password ":KOVRA").
std::string loginDigest(const std::string& sessionId, const std::string& user,
                        const std::string& password);

// True when `given` is the expected hexadecimal digest (letter case ignored).
bool digestMatches(const std::string& given, const std::string& expected);

// Incremental MD5 for downloads whose bytes are not kept.
class Md5Stream {
 public:
  Md5Stream();
  ~Md5Stream();
  Md5Stream(const Md5Stream&) = delete;
  Md5Stream& operator=(const Md5Stream&) = delete;
  void reset();
  void update(const void* data, size_t size);
  std::string finishHex();  // the digest of everything since the last reset

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dsim
