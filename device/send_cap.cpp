#include "device/send_cap.h"

#include <algorithm>
#include <cmath>

namespace {

// One grant at most: small enough that 20 connections sharing a few Mbit/s take turns many
// times a second, large enough that a cap of hundreds of Mbit/s needs only thousands of grants.
constexpr size_t kMaxPiece = 64 * 1024;
// A cap of a few kbit/s still sends whole packets.
constexpr double kMinBurst = 1500;
// Buckets that have refilled are dropped (a new one starts full, so nothing changes) this
// often, so that addresses seen once do not pile up.
constexpr auto kPruneEvery = std::chrono::seconds(1);

}  // namespace

TokenBucket::TokenBucket(double bytesPerSecond, Clock::time_point now)
    : rate_(bytesPerSecond), burst_(burstFor(bytesPerSecond)), level_(burst_), last_(now) {}

double TokenBucket::burstFor(double bytesPerSecond) {
  return std::max(bytesPerSecond / 10, kMinBurst);
}

double TokenBucket::level(Clock::time_point now) {
  if (now > last_) {
    const std::chrono::duration<double> elapsed = now - last_;
    level_ = std::min(burst_, level_ + rate_ * elapsed.count());
    last_ = now;
  }
  return level_;
}

void TokenBucket::take(double bytes, Clock::time_point now) {
  level_ = level(now) - bytes;
}

void TokenBucket::giveBack(double bytes, Clock::time_point now) {
  level_ = std::min(burst_, level(now) + bytes);
}

TokenBucket::Clock::time_point TokenBucket::readyAt(double bytes, Clock::time_point now) {
  const double missing = bytes - level(now);
  if (missing <= kSlack) return now;
  // Bounded so that an absurdly low cap cannot overflow the clock; the timer just comes again.
  const std::chrono::duration<double> wait(std::min(missing / rate_, 3600.0));
  return now + std::chrono::ceil<Clock::duration>(wait);
}

size_t SendCap::piece(size_t want) const {
  double limit = static_cast<double>(std::min(want, kMaxPiece));
  if (rates_.total > 0) limit = std::min(limit, TokenBucket::burstFor(rates_.total));
  if (rates_.perClient > 0) limit = std::min(limit, TokenBucket::burstFor(rates_.perClient));
  return std::max<size_t>(1, static_cast<size_t>(limit));
}

TokenBucket* SendCap::totalBucket(Clock::time_point now) {
  if (rates_.total <= 0) return nullptr;
  if (!total_) total_.emplace(rates_.total, now);
  return &*total_;
}

TokenBucket* SendCap::clientBucket(const std::string& host, Clock::time_point now) {
  if (rates_.perClient <= 0) return nullptr;
  return &clients_.try_emplace(host, rates_.perClient, now).first->second;
}

void SendCap::prune(Clock::time_point now) {
  if (now - lastPrune_ < kPruneEvery) return;
  lastPrune_ = now;
  const double full = TokenBucket::burstFor(rates_.perClient);
  for (auto client = clients_.begin(); client != clients_.end();) {
    client = client->second.level(now) >= full ? clients_.erase(client) : std::next(client);
  }
}

void SendCap::setRates(SendCapRates rates) {
  rates_ = rates;
  total_.reset();
  clients_.clear();
}

size_t SendCap::take(const std::string& host, size_t want, Clock::time_point now) {
  if (!waiters_.empty() || want == 0) return 0;
  prune(now);
  const size_t bytes = piece(want);
  TokenBucket* total = totalBucket(now);
  TokenBucket* client = clientBucket(host, now);
  if ((total && !total->has(bytes, now)) || (client && !client->has(bytes, now))) return 0;
  if (total) total->take(bytes, now);
  if (client) client->take(bytes, now);
  return bytes;
}

void SendCap::wait(std::string host, size_t want, Resume resume) {
  waiters_.push_back({std::move(host), want, std::move(resume)});
}

void SendCap::giveBack(const std::string& host, size_t bytes, Clock::time_point now) {
  if (bytes == 0) return;
  if (total_) total_->giveBack(static_cast<double>(bytes), now);
  if (const auto client = clients_.find(host); client != clients_.end()) {
    client->second.giveBack(static_cast<double>(bytes), now);
  }
}

std::vector<std::pair<SendCap::Resume, size_t>> SendCap::due(Clock::time_point now) {
  prune(now);
  std::vector<std::pair<Resume, size_t>> granted;
  TokenBucket* total = totalBucket(now);
  for (auto waiter = waiters_.begin(); waiter != waiters_.end();) {
    const size_t bytes = piece(waiter->want);
    TokenBucket* client = clientBucket(waiter->host, now);
    if (client && !client->has(bytes, now)) {
      ++waiter;
      continue;
    }
    if (total && !total->has(bytes, now)) break;
    if (total) total->take(bytes, now);
    if (client) client->take(bytes, now);
    granted.emplace_back(std::move(waiter->resume), bytes);
    waiter = waiters_.erase(waiter);
  }
  return granted;
}

std::optional<SendCap::Clock::time_point> SendCap::nextDue(Clock::time_point now) {
  if (waiters_.empty()) return std::nullopt;
  auto next = Clock::time_point::max();
  TokenBucket* total = totalBucket(now);
  for (const Waiter& waiter : waiters_) {
    const size_t bytes = piece(waiter.want);
    TokenBucket* client = clientBucket(waiter.host, now);
    const auto own = client ? client->readyAt(bytes, now) : now;
    next = std::min(next, std::max(own, total ? total->readyAt(bytes, now) : now));
    // due() stops at the first waiter whose own address is ready: nobody behind it goes first.
    if (own <= now) break;
  }
  return next;
}
