#include "Linux/perf/QVPerfTraceEventFormatTable.h"

#include <cstdlib>
#include <filesystem>
#include <vector>
#include <sstream>

#include "base/QVException.h"
#include "base/QVLog.h"

namespace Quorvel {

bool QVPerfTraceEventFormatTable::debug_ = std::getenv("QV_DEBUG_PERF_EVENT_FORMATS") != nullptr;

void QVPerfTraceEventFormatTable::load(const std::string& eventsDirectory) {
  *this = QVPerfTraceEventFormatTable();
  try {
    _recursiveAdd(eventsDirectory);
  } catch (const std::exception&) {
    QV_ERROR("encountered problem adding perf trace events from " << eventsDirectory);
  }
  _findKnown(true);
}

void QVPerfTraceEventFormatTable::loadTexts(const std::vector<std::pair<std::string, std::string>>& formats) {
  *this = QVPerfTraceEventFormatTable();
  for (const auto& entry : formats) {
    try {
      std::istringstream in(entry.second);
      _add(std::make_shared<const QVPerfTraceEventFormat>(in, entry.first));
    } catch (const QVException&) {
      QV_ERROR("failed to add perf trace event format from " << entry.first);
    }
  }
  _findKnown(false);
}

void QVPerfTraceEventFormatTable::_findKnown(bool reportMissing) {
  schedSwitch_ = formatWithName("sched_switch");
  if (schedSwitch_)
    schedSwitchId_ = schedSwitch_->id();
  else if (reportMissing)
    QV_ERROR("no sched:sched_switch event format found");
  syscallEnter_ = formatWithName("sys_enter");
  if (syscallEnter_)
    syscallEnterId_ = syscallEnter_->id();
  else if (reportMissing)
    QV_WARNING("no raw_syscalls:sys_enter event format found");
  syscallExit_ = formatWithName("sys_exit");
  if (syscallExit_)
    syscallExitId_ = syscallExit_->id();
  else if (reportMissing)
    QV_WARNING("no raw_syscalls:sys_exit event format found");
}

void QVPerfTraceEventFormatTable::_recursiveAdd(const std::string& directory) {
  namespace fs = std::filesystem;
  // The walk keeps an explicit stack: tracefs is a few levels deep, but a
  // fixture or a bind mount may not be, and recursion depth stays bounded.
  std::vector<fs::path> pending{fs::path(directory)};
  while (!pending.empty()) {
    fs::path current = pending.back();
    pending.pop_back();
    for (const fs::directory_entry& entry : fs::directory_iterator(current)) {
      if (entry.is_directory() && !entry.is_symlink()) {
        pending.push_back(entry.path());
      } else if (entry.is_regular_file() && entry.path().filename() == "format") {
        try {
          _add(std::make_shared<const QVPerfTraceEventFormat>(entry.path().string()));
        } catch (const QVException&) {
          QV_ERROR("failed to add perf trace event format from " << entry.path().string());
        }
      }
    }
  }
}

void QVPerfTraceEventFormatTable::_add(const std::shared_ptr<const QVPerfTraceEventFormat>& format) {
  byId_[format->id()] = format;
  byName_[format->name()] = format;
  if (debug_) {
    std::ostringstream description;
    format->getDescription(description);
    QV_DEBUG("added trace event " << description.str());
  }
}

std::shared_ptr<const QVPerfTraceEventFormat> QVPerfTraceEventFormatTable::formatWithId(
    std::uint64_t id) const {
  auto found = byId_.find(id);
  return found == byId_.end() ? nullptr : found->second;
}

std::shared_ptr<const QVPerfTraceEventFormat> QVPerfTraceEventFormatTable::formatWithName(
    const std::string& name) const {
  auto found = byName_.find(name);
  return found == byName_.end() ? nullptr : found->second;
}

}  // namespace Quorvel
