#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>

namespace dsim {

// One display's login sessions: the challenges it issued and the sessions that logged in.
// Both lists are bounded (the oldest entry is forgotten first). Thread-safe.
class SessionStore {
 public:
  explicit SessionStore(uint64_t seed, size_t capacity = 256);

  // A fresh session identifier (32 hexadecimal digits), remembered as a challenge.
  std::string issueChallenge();
  bool isChallenge(const std::string& id) const;
  // Marks the challenge `id` as logged in; false when it was never issued (or forgotten).
  bool authenticate(const std::string& id);
  bool isAuthenticated(const std::string& id) const;

 private:
  mutable std::mutex mutex_;
  std::mt19937_64 rng_;
  size_t capacity_;
  std::deque<std::string> challenges_;
  std::deque<std::string> sessions_;
};

}  // namespace dsim
