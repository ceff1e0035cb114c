#include "QVNotifydTaskTracker.h"

#include <dirent.h>
#include <linux/perf_event.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace Quorvel {

namespace {

// Older than this, a record is in its ring whichever processor wrote it.
constexpr uint64_t kHorizonNanos = 50000000;
constexpr uint64_t kNanosPerSecond = 1000000000;

uint64_t bootNanos() {
  timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return uint64_t(ts.tv_sec) * kNanosPerSecond + uint64_t(ts.tv_nsec);
}

bool isNumber(const char* name) {
  if (!*name) return false;
  for (const char* c = name; *c; ++c)
    if (*c < '0' || *c > '9') return false;
  return true;
}

// Field 22 of a stat line, after the parenthesised name that may hold blanks.
bool startTicks(const std::string& statPath, uint64_t& ticks) {
  std::ifstream in(statPath);
  std::string line;
  if (!std::getline(in, line)) return false;
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(fields >> field)) return false;
  }
  ticks = std::strtoull(field.c_str(), nullptr, 10);
  return true;
}

template <class T>
bool take(const std::vector<unsigned char>& record, size_t& at, T& out) {
  if (at + sizeof out > record.size()) return false;
  std::memcpy(&out, record.data() + at, sizeof out);
  at += sizeof out;
  return true;
}

}  // namespace

QVNotifydTaskTracker::QVNotifydTaskTracker(QVProfiledEventQueue& queue, QVNotifydTaskTable& table,
                                           unsigned processorCount)
    : queue_(queue), table_(table), processorCount_(processorCount) {}

QVNotifydTaskTracker::~QVNotifydTaskTracker() { stop(); }

void QVNotifydTaskTracker::seedFromProc(const std::string& procRoot, QVNotifydTaskTable& table) {
  const long hz = sysconf(_SC_CLK_TCK);
  DIR* proc = opendir(procRoot.c_str());
  if (!proc) return;
  while (dirent* entry = readdir(proc)) {
    if (!isNumber(entry->d_name)) continue;
    const uint32_t pid = uint32_t(std::strtoul(entry->d_name, nullptr, 10));
    const std::string dir = procRoot + "/" + entry->d_name;
    std::vector<QVNotifydTaskTable::Mapping> mappings;
    std::ifstream maps(dir + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
      // start-end perms offset dev inode path
      std::istringstream fields(line);
      std::string range, perms, offset, device, inode, path;
      if (!(fields >> range >> perms >> offset >> device >> inode)) continue;
      std::getline(fields >> std::ws, path);
      if (perms.size() < 3 || perms[2] != 'x' || path.empty()) continue;
      const size_t dash = range.find('-');
      if (dash == std::string::npos) continue;
      QVNotifydTaskTable::Mapping m;
      m.start = std::strtoull(range.c_str(), nullptr, 16);
      m.end = std::strtoull(range.c_str() + dash + 1, nullptr, 16);
      m.offset = std::strtoull(offset.c_str(), nullptr, 16);
      m.cookie = table.cookie(path);
      mappings.push_back(m);
    }
    DIR* tasks = opendir((dir + "/task").c_str());
    if (!tasks) continue;
    while (dirent* task = readdir(tasks)) {
      if (!isNumber(task->d_name)) continue;
      const uint32_t tid = uint32_t(std::strtoul(task->d_name, nullptr, 10));
      uint64_t ticks = 0;
      if (!startTicks(dir + "/task/" + task->d_name + "/stat", ticks) || hz <= 0) continue;
      const uint64_t start =
          ticks / uint64_t(hz) * kNanosPerSecond + ticks % uint64_t(hz) * kNanosPerSecond / uint64_t(hz);
      table.seed(pid, tid, start, mappings);
      std::ifstream comm(dir + "/task/" + task->d_name + "/comm");
      std::string command;
      if (std::getline(comm, command)) table.name(tid, command);
    }
    closedir(tasks);
  }
  closedir(proc);
}

bool QVNotifydTaskTracker::start(const std::string& procRoot, std::string& error) {
  if (running_) return true;
  perf_event_attr attr;
  std::memset(&attr, 0, sizeof attr);
  attr.type = PERF_TYPE_SOFTWARE;
  attr.config = PERF_COUNT_SW_DUMMY;
  attr.sample_type = PERF_SAMPLE_TID | PERF_SAMPLE_TIME;
  attr.sample_id_all = 1;
  attr.mmap = 1;
  attr.mmap2 = 1;
  attr.comm = 1;
  attr.comm_exec = 1;
  attr.task = 1;
  // Exit records carry times from boot, the clock /proc's start times count on.
  attr.use_clockid = 1;
  attr.clockid = CLOCK_BOOTTIME;
  if (!QVPerfRing::openEach(attr, processorCount_, rings_, error)) return false;
  // Enabled before the snapshot: a task that starts meanwhile is in one or both.
  for (const auto& ring : rings_) ring->enable();
  seedFromProc(procRoot, table_);
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  stopping_ = false;
  running_ = true;
  thread_ = std::thread([this] { _drainLoop(); });
  return true;
}

void QVNotifydTaskTracker::stop() {
  if (running_) {
    stopping_ = true;
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
      // The drain loop also wakes on its poll timeout.
    }
    if (thread_.joinable()) thread_.join();
    running_ = false;
  }
  rings_.clear();
  pending_.clear();
  if (wakeFd_ >= 0) {
    close(wakeFd_);
    wakeFd_ = -1;
  }
}

void QVNotifydTaskTracker::_drainLoop() {
  std::vector<pollfd> fds;
  for (const auto& ring : rings_) fds.push_back({ring->fd(), POLLIN, 0});
  fds.push_back({wakeFd_, POLLIN, 0});
  while (!stopping_) {
    poll(fds.data(), fds.size(), 20);
    const uint64_t horizon = bootNanos() - kHorizonNanos;
    for (const auto& ring : rings_) _drainRing(*ring);
    _apply(horizon);
  }
  // Tasks that exited up to now are reported; nothing newer can arrive
  // late, as the events are disabled first.
  for (const auto& ring : rings_) ring->disable();
  for (const auto& ring : rings_) _drainRing(*ring);
  _apply(UINT64_MAX);
}

void QVNotifydTaskTracker::_drainRing(QVPerfRing& ring) {
  ring.drain([this](std::vector<unsigned char>& record) {
    perf_event_header header;
    std::memcpy(&header, record.data(), sizeof header);
    if (header.type == PERF_RECORD_LOST) {
      uint64_t lost = 0;
      size_t at = sizeof header + 8;
      if (take(record, at, lost)) lost_ += lost;
      return;
    }
    // With sample_id_all every record ends in the task ids and the time.
    if (record.size() < sizeof header + 8) return;
    uint64_t time = 0;
    std::memcpy(&time, record.data() + record.size() - 8, 8);
    pending_.push_back({time, order_++, std::move(record)});
  });
}

void QVNotifydTaskTracker::_apply(uint64_t horizon) {
  std::stable_sort(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
    return a.time != b.time ? a.time < b.time : a.order < b.order;
  });
  size_t done = 0;
  while (done < pending_.size() && pending_[done].time < horizon) {
    _applyRecord(pending_[done].record);
    ++done;
  }
  pending_.erase(pending_.begin(), pending_.begin() + long(done));
}

void QVNotifydTaskTracker::_applyRecord(const std::vector<unsigned char>& record) {
  perf_event_header header;
  std::memcpy(&header, record.data(), sizeof header);
  size_t at = sizeof header;
  uint32_t pid = 0, tid = 0;
  switch (header.type) {
    case PERF_RECORD_FORK:
    case PERF_RECORD_EXIT: {
      uint32_t ppid = 0, ptid = 0;
      uint64_t time = 0;
      if (!take(record, at, pid) || !take(record, at, ppid) || !take(record, at, tid) || !take(record, at, ptid) ||
          !take(record, at, time))
        return;
      if (header.type == PERF_RECORD_FORK) {
        table_.fork(pid, ppid, tid, time, ptid);
      } else {
        std::vector<unsigned char> unit = table_.exit(pid, tid, time);
        if (reportExits_ && !unit.empty()) queue_.push(std::move(unit));
      }
      break;
    }
    case PERF_RECORD_COMM: {
      if (!take(record, at, pid) || !take(record, at, tid)) return;
      if ((header.misc & PERF_RECORD_MISC_COMM_EXEC) != 0) table_.exec(pid);
      // The name is NUL-terminated before the ids and time of sample_id_all.
      const size_t limit = record.size() >= at + 16 ? record.size() - 16 : at;
      size_t end = at;
      while (end < limit && record[end] != 0) ++end;
      table_.name(tid, std::string(reinterpret_cast<const char*>(record.data() + at), end - at));
      break;
    }
    case PERF_RECORD_MMAP2: {
      uint64_t addr = 0, length = 0, pgoff = 0, inode = 0, generation = 0;
      uint32_t major = 0, minor = 0, prot = 0, flags = 0;
      if (!take(record, at, pid) || !take(record, at, tid) || !take(record, at, addr) || !take(record, at, length) ||
          !take(record, at, pgoff) || !take(record, at, major) || !take(record, at, minor) ||
          !take(record, at, inode) || !take(record, at, generation) || !take(record, at, prot) ||
          !take(record, at, flags))
        return;
      // The name is NUL-terminated inside the record, before the ids and time.
      const size_t limit = record.size() >= at + 16 ? record.size() - 16 : at;
      size_t end = at;
      while (end < limit && record[end] != 0) ++end;
      const std::string path(reinterpret_cast<const char*>(record.data() + at), end - at);
      if ((prot & PROT_EXEC) != 0 && !path.empty()) table_.map(pid, addr, length, pgoff, path);
      break;
    }
    default:
      break;
  }
}

}  // namespace Quorvel
