#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// What the host's server really sent, per run and per display address: a display's "all
// fetched" is only believed when every byte of every file of the run went out to it.
class DeliveryLedger {
 public:
  // Starts counting `paths` ("/media/NAME", "/firmware/NAME") sent to `host` for `run`.
  void expect(int64_t run, const std::string& host, const std::vector<std::string>& paths);
  // Called by the server for each piece of a file it sent; pieces of runs that do not expect
  // that file at that address are not kept.
  void record(const std::string& host, const std::string& path, uint64_t offset, uint64_t count);
  // Whether every byte of [0, size) went out at least once; an empty file needs no byte.
  bool sentWhole(int64_t run, const std::string& host, const std::string& path,
                 uint64_t size) const;
  void forget(int64_t run);
  // Whether a run still open waits for files sent to `host`.
  bool expects(const std::string& host) const;

 private:
  // Start → end of each covered stretch, stretches never touching each other.
  using Ranges = std::map<uint64_t, uint64_t>;
  struct Key {
    std::string host, path;
    auto operator<=>(const Key&) const = default;
  };
  mutable std::mutex mutex_;
  std::map<Key, std::map<int64_t, Ranges>> sent_;
};
