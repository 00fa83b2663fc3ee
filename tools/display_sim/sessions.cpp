#include "sessions.h"

#include <algorithm>
#include <cstdio>

namespace dsim {
namespace {

bool contains(const std::deque<std::string>& list, const std::string& id) {
  return !id.empty() && std::find(list.begin(), list.end(), id) != list.end();
}

void pushBounded(std::deque<std::string>& list, std::string id, size_t capacity) {
  list.push_back(std::move(id));
  while (list.size() > capacity) list.pop_front();
}

}  // namespace

SessionStore::SessionStore(uint64_t seed, size_t capacity)
    : rng_(seed), capacity_(std::max<size_t>(capacity, 1)) {}

std::string SessionStore::issueChallenge() {
  std::lock_guard lock(mutex_);
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(rng_()),
                static_cast<unsigned long long>(rng_()));
  pushBounded(challenges_, text, capacity_);
  return text;
}

bool SessionStore::isChallenge(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return contains(challenges_, id);
}

bool SessionStore::authenticate(const std::string& id) {
  std::lock_guard lock(mutex_);
  if (!contains(challenges_, id)) return false;
  if (!contains(sessions_, id)) pushBounded(sessions_, id, capacity_);
  return true;
}

bool SessionStore::isAuthenticated(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return contains(sessions_, id);
}

}  // namespace dsim
