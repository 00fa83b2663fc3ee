#pragma once

// The bandwidth cap on file bodies sent to displays: one token bucket for all of them and one
// per client address. No sockets and no clock of its own: every call is told the time, so the
// arithmetic can be checked without waiting.

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Bytes per second; 0 for no cap.
struct SendCapRates {
  double total = 0;
  double perClient = 0;
};

inline constexpr double kBytesPerMbit = 1e6 / 8;

class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts full. The burst is a tenth of a second's worth: over a few seconds the rate stays
  // within a few per cent of the cap whatever the connections do.
  TokenBucket(double bytesPerSecond, Clock::time_point now);

  static double burstFor(double bytesPerSecond);
  double level(Clock::time_point now);
  bool has(double bytes, Clock::time_point now) { return level(now) >= bytes - kSlack; }
  void take(double bytes, Clock::time_point now);
  void giveBack(double bytes, Clock::time_point now);
  // When `bytes` will have been refilled (now, if they are there).
  Clock::time_point readyAt(double bytes, Clock::time_point now);

 private:
  // Rounding of the refill must not turn "ready at t" into "not quite" at t.
  static constexpr double kSlack = 1e-6;
  double rate_;
  double burst_;
  double level_;
  Clock::time_point last_;
};

// Connections that want to send ask for a grant; those that cannot have one now queue and get
// theirs in turn, one piece at a time, so that none is starved. Used on the io thread only.
class SendCap {
 public:
  using Clock = std::chrono::steady_clock;
  using Resume = std::function<void(size_t granted)>;

  explicit SendCap(SendCapRates rates) : rates_(rates) {}

  bool enabled() const { return rates_.total > 0 || rates_.perClient > 0; }
  // New rates from now on; those waiting get their grants by the new ones.
  void setRates(SendCapRates rates);
  // Bytes a connection of `host` may send now, at most `want`; 0 when it must wait(). Nobody
  // goes ahead of those already waiting.
  size_t take(const std::string& host, size_t want, Clock::time_point now);
  void wait(std::string host, size_t want, Resume resume);
  // What was granted but not sent.
  void giveBack(const std::string& host, size_t bytes, Clock::time_point now);
  // The waiters that may send now, in queue order, each with its grant; they leave the queue.
  // A waiter whose own address is out of tokens lets those behind it pass.
  std::vector<std::pair<Resume, size_t>> due(Clock::time_point now);
  // When due() will next grant something; nothing when nobody waits.
  std::optional<Clock::time_point> nextDue(Clock::time_point now);
  void clear() { waiters_.clear(); }

 private:
  struct Waiter {
    std::string host;
    size_t want;
    Resume resume;
  };
  size_t piece(size_t want) const;
  TokenBucket* totalBucket(Clock::time_point now);
  TokenBucket* clientBucket(const std::string& host, Clock::time_point now);
  void prune(Clock::time_point now);

  SendCapRates rates_;
  std::optional<TokenBucket> total_;
  std::unordered_map<std::string, TokenBucket> clients_;
  Clock::time_point lastPrune_{};
  std::deque<Waiter> waiters_;
};
