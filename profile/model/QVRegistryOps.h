#pragma once

#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "base/QVException.h"

namespace Quorvel {

// The operations that the process and thread registries share: a map from an
// interned id to the one shared object, guarded by a recursive mutex. The
// registries keep their own map and lock (and their own messages); these
// functions keep the locking rules in one place.
namespace QVRegistryOps {

struct Messages {
  const char* invalid;    // "invalid process id"
  int invalidLine;
  const char* duplicate;  // "duplicate process id: " (the id follows)
  int duplicateLine;
  const char* source;     // "QVProcess"
};

// Registering the same object again changes nothing; a different object
// under a taken id, or an invalid id, raises and leaves the map unchanged.
template <class Id, class T>
void Register(std::unordered_map<Id, std::shared_ptr<T>>& map, std::recursive_mutex& lock,
              const std::shared_ptr<T>& object, const Id& id, const Messages& messages) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (!object || !id.isValid()) {
    throw QVException(messages.invalid, messages.invalidLine, messages.source);
  }
  const auto found = map.find(id);
  if (found != map.end()) {
    if (found->second != object) {
      std::ostringstream message;
      message << messages.duplicate << id;
      throw QVException(message.str(), messages.duplicateLine, messages.source);
    }
    return;
  }
  map.emplace(id, object);
}

// The registered entry, or null. The pointer stays valid until the registry
// is flushed (the map's nodes do not move).
template <class Id, class T>
const std::shared_ptr<T>* Find(const std::unordered_map<Id, std::shared_ptr<T>>& map, std::recursive_mutex& lock,
                               const Id& id) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  const auto found = map.find(id);
  return found != map.end() ? &found->second : nullptr;
}

// Among the entries that `matches`, the one whose startTime() is latest; an
// unknown start never wins over a known one, and ties keep the first seen.
template <class Id, class T, class Matches>
std::shared_ptr<T> LatestStarted(const std::unordered_map<Id, std::shared_ptr<T>>& map, std::recursive_mutex& lock,
                                 Matches matches) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  std::shared_ptr<T> best;
  boost::posix_time::ptime bestStart;
  for (const auto& entry : map) {
    if (!entry.second || !matches(entry.first)) {
      continue;
    }
    const boost::posix_time::ptime start = entry.second->startTime();
    const bool later = !start.is_special() && (bestStart.is_special() || start > bestStart);
    if (!best || later) {
      best = entry.second;
      bestStart = start;
    }
  }
  return best;
}

// Ids of the entries that `matches` (and run, when runningOnly) into `out`,
// which is cleared first. isRunning() is asked outside the lock: it may
// create a debugger and ask the operating system, and registrations on other
// threads need not wait for that.
template <class Id, class T, class Matches>
void CollectIds(const std::unordered_map<Id, std::shared_ptr<T>>& map, std::recursive_mutex& lock, Matches matches,
                bool runningOnly, std::unordered_set<Id>& out) {
  out.clear();
  std::vector<std::pair<Id, std::shared_ptr<T>>> candidates;
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (const auto& entry : map) {
      if (matches(entry.first)) {
        candidates.push_back(entry);
      }
    }
  }
  for (const auto& candidate : candidates) {
    if (candidate.second && (!runningOnly || candidate.second->isRunning())) {
      out.insert(candidate.first);
    }
  }
}

// Empties the map; the objects are released after the lock, since their
// debuggers and sections may take locks of their own while going.
template <class Id, class T>
void Flush(std::unordered_map<Id, std::shared_ptr<T>>& map, std::recursive_mutex& lock) {
  std::unordered_map<Id, std::shared_ptr<T>> flushed;
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    flushed.swap(map);
  }
}

}  // namespace QVRegistryOps
}  // namespace Quorvel
