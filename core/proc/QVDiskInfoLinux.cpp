#include "proc/QVDiskInfoLinux.h"

#include "proc/QVProcCounterParsers.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

bool readDiskstats(QVProcParseResult<QVProcDiskstat>& result) {
  std::string text;
  if (!FileReadString(QVSystemPaths::path("/proc/diskstats"), text)) {
    return false;
  }
  result = QVProcCounterParsers::parseDiskstats(text);
  return true;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

QVDiskInfoLinux::QVDiskInfoLinux(const QVDiskId& diskId) : diskId_(diskId) {}

bool QVDiskInfoLinux::update() {
  QVProcParseResult<QVProcDiskstat> parsed;
  if (!readDiskstats(parsed)) {
    return false;
  }
  for (const QVProcDiskstat& stat : parsed.entries) {
    if (stat.name != diskId_.name()) {
      continue;
    }
    DiskStats stats;
    stats.setInteger(Reads, stat.reads);
    stats.setInteger(ReadsMerged, stat.readsMerged);
    stats.setInteger(ReadBytes, stat.sectorsRead * QVProcCounterParsers::kDiskSectorSize);
    stats.setReal(ReadTime, static_cast<double>(stat.readMillis) / 1000.0);
    stats.setInteger(Writes, stat.writes);
    stats.setInteger(WritesMerged, stat.writesMerged);
    stats.setInteger(WriteBytes, stat.sectorsWritten * QVProcCounterParsers::kDiskSectorSize);
    stats.setReal(WriteTime, static_cast<double>(stat.writeMillis) / 1000.0);
    stats.setInteger(InFlight, stat.inFlight);
    stats.setReal(IOTime, static_cast<double>(stat.ioMillis) / 1000.0);
    std::lock_guard<std::mutex> lock(mutex_);
    stats_ = stats;
    return true;
  }
  return false;
}

QVDiskInfoLinux::DiskStats QVDiskInfoLinux::diskStats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void QVDiskInfoLinux::getDiskIds(std::unordered_set<QVDiskId>& diskIds, bool append) {
  if (!append) {
    diskIds.clear();
  }
  QVProcParseResult<QVProcDiskstat> parsed;
  if (!readDiskstats(parsed)) {
    return;
  }
  const bool haveBlockClass = DirectoryExists(QVSystemPaths::path("/sys/block"));
  const QVSystemId system = QVSystemId::currentSystemId();
  for (const QVProcDiskstat& stat : parsed.entries) {
    // A name with '/' cannot be a /sys/block entry and must not walk the path.
    if (stat.name.find('/') != std::string::npos) {
      continue;
    }
    bool wholeDisk = haveBlockClass ? FileExists(QVSystemPaths::path("/sys/block/" + stat.name))
                                    : !startsWith(stat.name, "loop") && !startsWith(stat.name, "ram");
    if (wholeDisk) {
      diskIds.insert(QVDiskId::uniqueDiskId(system, stat.name));
    }
  }
}

}  // namespace Quorvel
