#include "proc/QVSystemInfoLinux.h"

#include <unistd.h>

#include <string>

#include "proc/QVProcCounterParsers.h"
#include "proc/QVProcMeminfoParser.h"
#include "proc/QVProcStatParser.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

double ticksPerSecond() {
  static const double ticks = [] {
    long value = ::sysconf(_SC_CLK_TCK);
    // USER_HZ is 100 on every architecture the library runs on.
    return value > 0 ? static_cast<double>(value) : 100.0;
  }();
  return ticks;
}

bool readProcFile(const char* path, std::string& text) { return FileReadString(QVSystemPaths::path(path), text); }

}  // namespace

bool QVSystemInfoLinux::update() {
  std::string text;
  if (!readProcFile("/proc/stat", text)) {
    return false;
  }
  QVProcStatInfo info = QVProcStatParser::parse(text);
  if (!info.total) {
    return false;
  }
  ProcStatValues stat;
  for (std::size_t column = 0; column < QVProcCpuTimes::ColumnCount; ++column) {
    stat.setReal(column, static_cast<double>(info.total->ticks[column]) / ticksPerSecond());
  }
  stat.setInteger(Interrupts, info.interrupts.value_or(0));
  stat.setInteger(ContextSwitches, info.contextSwitches.value_or(0));
  stat.setInteger(BootTime, info.bootTime.value_or(0));
  stat.setInteger(Forks, info.forks.value_or(0));
  stat.setInteger(RunningTasks, info.runningTasks.value_or(0));
  stat.setInteger(BlockedTasks, info.blockedTasks.value_or(0));

  ProcLoadAvgValues loadAvg;
  if (readProcFile("/proc/loadavg", text)) {
    if (std::optional<QVProcLoadavg> parsed = QVProcCounterParsers::parseLoadavg(text)) {
      for (std::size_t index = 0; index < parsed->averages.size(); ++index) {
        loadAvg.setReal(index, parsed->averages[index]);
      }
      loadAvg.setInteger(Runnable, parsed->runnable);
      loadAvg.setInteger(Tasks, parsed->tasks);
      loadAvg.setInteger(LastPid, parsed->lastPid);
    }
  }

  ProcMemInfoValues memInfo;
  if (readProcFile("/proc/meminfo", text)) {
    QVProcMeminfo parsed = QVProcMeminfoParser::parse(text);
    static const char* const kNames[MemInfoCount] = {"MemTotal",   "MemFree", "MemAvailable", "Buffers",   "Cached",
                                                     "SwapCached", "Active",  "Inactive",     "SwapTotal", "SwapFree"};
    for (std::size_t index = 0; index < MemInfoCount; ++index) {
      memInfo.setInteger(index, parsed.valueOrZero(kNames[index]));
    }
  }

  ProcVmStatValues vmStat;
  if (readProcFile("/proc/vmstat", text)) {
    std::map<std::string, uint64_t> parsed = QVProcCounterParsers::parseNameValues(text);
    static const char* const kNames[VmStatCount] = {"pgpgin", "pgpgout", "pswpin", "pswpout", "pgfault", "pgmajfault"};
    for (std::size_t index = 0; index < VmStatCount; ++index) {
      auto found = parsed.find(kNames[index]);
      vmStat.setInteger(index, found == parsed.end() ? 0 : found->second);
    }
  }

  std::lock_guard<std::mutex> lock(mutex_);
  stat_ = stat;
  loadAvg_ = loadAvg;
  memInfo_ = memInfo;
  vmStat_ = vmStat;
  return true;
}

QVSystemInfoLinux::ProcStatValues QVSystemInfoLinux::procStatValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stat_;
}

QVSystemInfoLinux::ProcLoadAvgValues QVSystemInfoLinux::procLoadAvgValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loadAvg_;
}

QVSystemInfoLinux::ProcMemInfoValues QVSystemInfoLinux::procMemInfoValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return memInfo_;
}

QVSystemInfoLinux::ProcVmStatValues QVSystemInfoLinux::procVmStatValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return vmStat_;
}

}  // namespace Quorvel
