#include "QVNotifydTaskTable.h"

#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/notify/QVTaskExitStream.h"

#include <algorithm>
#include <cstring>

namespace Quorvel {

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000;
// vm_flags of an executable, readable mapping as the reader checks them.
constexpr uint64_t kExecutableFlags = 0x5;
// The kernel's command names fit 16 bytes with their NUL: two stream words.
constexpr size_t kCommandBytes = 16;

// The command's bytes in stream order, NUL-padded, as two words.
void CommandWords(const std::string& command, uint64_t (&words)[2]) {
  unsigned char bytes[kCommandBytes] = {};
  std::memcpy(bytes, command.data(), std::min(command.size(), kCommandBytes - 1));
  std::memcpy(words, bytes, sizeof bytes);
}

}  // namespace

void QVNotifydTaskTable::seed(uint32_t pid, uint32_t tid, uint64_t startNanos, const std::vector<Mapping>& mappings) {
  std::lock_guard<std::mutex> lock(mutex_);
  starts_[tid] = startNanos;
  if (pid == tid) mappings_[pid] = mappings;
}

void QVNotifydTaskTable::fork(uint32_t pid, uint32_t ppid, uint32_t tid, uint64_t timeNanos, uint32_t ptid) {
  std::lock_guard<std::mutex> lock(mutex_);
  starts_[tid] = timeNanos;
  auto command = commands_.find(ptid ? ptid : ppid);
  if (command != commands_.end()) commands_[tid] = command->second;
  if (pid == tid && pid != ppid) {
    auto parent = mappings_.find(ppid);
    mappings_[pid] = parent == mappings_.end() ? std::vector<Mapping>() : parent->second;
  }
}

void QVNotifydTaskTable::name(uint32_t tid, const std::string& command) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_[tid] = command;
}

void QVNotifydTaskTable::exec(uint32_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  mappings_[pid].clear();
}

void QVNotifydTaskTable::map(uint32_t pid, uint64_t start, uint64_t length, uint64_t offset, const std::string& path) {
  const uint64_t fileCookie = cookie(path);
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Mapping>& maps = mappings_[pid];
  const uint64_t end = start + length;
  std::vector<Mapping> kept;
  for (const Mapping& m : maps) {
    if (m.end <= start || m.start >= end) kept.push_back(m);
  }
  kept.push_back({start, end, offset, fileCookie});
  maps.swap(kept);
}

std::vector<unsigned char> QVNotifydTaskTable::exit(uint32_t pid, uint32_t tid, uint64_t timeNanos) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t start = 0;
  auto known = starts_.find(tid);
  if (known != starts_.end()) {
    start = known->second;
    starts_.erase(known);
  }
  uint64_t command[2] = {0, 0};
  auto named = commands_.find(tid);
  if (named != commands_.end()) {
    CommandWords(named->second, command);
    commands_.erase(named);
  }
  auto maps = mappings_.find(pid);
  if (maps == mappings_.end()) return {};
  QVDriverEventWriter w(true);
  w.control(RECORD_BEGIN);
  w.control(THREAD_INFO_BEGIN);
  for (uint64_t word : {uint64_t(pid), uint64_t(tid), command[0], command[1], start / kNanosPerSecond,
                        start % kNanosPerSecond, timeNanos / kNanosPerSecond, timeNanos % kNanosPerSecond}) {
    w.word(word);
  }
  w.control(THREAD_INFO_END);
  w.control(MODULE_LIST_BEGIN);
  w.word(maps->second.size());
  for (const Mapping& m : maps->second) {
    for (uint64_t word : {m.start, m.end, kExecutableFlags, m.cookie, m.offset}) w.word(word);
  }
  w.control(MODULE_LIST_END);
  w.control(RECORD_END);
  // The leader's exit ends the process; its threads exit alongside.
  if (pid == tid) mappings_.erase(maps);
  return w.bytes();
}

bool QVNotifydTaskTable::locate(uint32_t pid, uint64_t address, uint64_t& cookie, uint64_t& offset,
                                uint64_t& programCookie) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto maps = mappings_.find(pid);
  if (maps == mappings_.end() || maps->second.empty()) return false;
  programCookie = maps->second.front().cookie;
  for (const Mapping& m : maps->second) {
    if (address >= m.start && address < m.end) {
      cookie = m.cookie;
      offset = address - m.start + m.offset;
      return true;
    }
  }
  return false;
}

uint64_t QVNotifydTaskTable::cookie(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = cookieByPath_.find(path);
  if (found != cookieByPath_.end()) return found->second;
  // Cookie 0 means "no file" to readers; numbering starts at 1.
  const uint64_t next = cookieByPath_.size() + 1;
  cookieByPath_.emplace(path, next);
  pathByCookie_.emplace(next, path);
  return next;
}

bool QVNotifydTaskTable::cookiePath(uint64_t cookie, std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = pathByCookie_.find(cookie);
  if (found == pathByCookie_.end()) return false;
  path = found->second;
  return true;
}

std::vector<uint64_t> QVNotifydTaskTable::cookies() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> out;
  for (const auto& entry : pathByCookie_) out.push_back(entry.first);
  return out;
}

}  // namespace Quorvel
