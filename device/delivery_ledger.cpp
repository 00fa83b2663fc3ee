#include "device/delivery_ledger.h"

#include <iterator>

namespace {

void addRange(std::map<uint64_t, uint64_t>& ranges, uint64_t start, uint64_t end) {
  auto next = ranges.upper_bound(start);
  if (next != ranges.begin()) {
    auto before = std::prev(next);
    if (before->second >= start) {
      start = before->first;
      end = std::max(end, before->second);
      next = ranges.erase(before);
    }
  }
  while (next != ranges.end() && next->first <= end) {
    end = std::max(end, next->second);
    next = ranges.erase(next);
  }
  ranges.emplace(start, end);
}

}  // namespace

void DeliveryLedger::expect(int64_t run, const std::string& host,
                            const std::vector<std::string>& paths) {
  std::lock_guard lock(mutex_);
  for (const auto& path : paths) sent_[Key{host, path}][run];
}

void DeliveryLedger::record(const std::string& host, const std::string& path, uint64_t offset,
                            uint64_t count) {
  if (count == 0) return;
  std::lock_guard lock(mutex_);
  if (sent_.empty()) return;
  auto found = sent_.find(Key{host, path});
  if (found == sent_.end()) return;
  for (auto& [run, ranges] : found->second) addRange(ranges, offset, offset + count);
}

bool DeliveryLedger::sentWhole(int64_t run, const std::string& host, const std::string& path,
                               uint64_t size) const {
  std::lock_guard lock(mutex_);
  auto found = sent_.find(Key{host, path});
  if (found == sent_.end()) return false;
  auto ranges = found->second.find(run);
  if (ranges == found->second.end()) return false;
  if (size == 0) return true;
  const auto& covered = ranges->second;
  return !covered.empty() && covered.begin()->first == 0 && covered.begin()->second >= size;
}

void DeliveryLedger::forget(int64_t run) {
  std::lock_guard lock(mutex_);
  for (auto it = sent_.begin(); it != sent_.end();) {
    it->second.erase(run);
    it = it->second.empty() ? sent_.erase(it) : std::next(it);
  }
}

bool DeliveryLedger::expects(const std::string& host) const {
  std::lock_guard lock(mutex_);
  const auto first = sent_.lower_bound(Key{host, {}});
  return first != sent_.end() && first->first.host == host;
}
