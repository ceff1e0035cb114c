#include "proc/QVNetworkInfoLinux.h"

#include "proc/QVProcCounterParsers.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

bool readNetDev(QVProcParseResult<QVProcNetDev>& result) {
  std::string text;
  if (!FileReadString(QVSystemPaths::path("/proc/net/dev"), text)) {
    return false;
  }
  result = QVProcCounterParsers::parseNetDev(text);
  return true;
}

}  // namespace

QVNetworkInfoLinux::QVNetworkInfoLinux(const QVNetworkId& networkId) : networkId_(networkId) {}

bool QVNetworkInfoLinux::update() {
  QVProcParseResult<QVProcNetDev> parsed;
  if (!readNetDev(parsed)) {
    return false;
  }
  for (const QVProcNetDev& dev : parsed.entries) {
    if (dev.name != networkId_.name()) {
      continue;
    }
    NetworkStats stats;
    stats.setInteger(ReceivePackets, dev.receivePackets);
    stats.setInteger(ReceiveBytes, dev.receiveBytes);
    stats.setInteger(ReceiveErrors, dev.receiveErrors);
    stats.setInteger(SendPackets, dev.sendPackets);
    stats.setInteger(SendBytes, dev.sendBytes);
    stats.setInteger(SendErrors, dev.sendErrors);
    stats.setInteger(ReceiveDrops, dev.receiveDrops);
    stats.setInteger(SendDrops, dev.sendDrops);
    std::lock_guard<std::mutex> lock(mutex_);
    stats_ = stats;
    return true;
  }
  return false;
}

QVNetworkInfoLinux::NetworkStats QVNetworkInfoLinux::networkStats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void QVNetworkInfoLinux::getNetworkIds(std::unordered_set<QVNetworkId>& networkIds, bool append) {
  if (!append) {
    networkIds.clear();
  }
  QVProcParseResult<QVProcNetDev> parsed;
  if (!readNetDev(parsed)) {
    return;
  }
  const QVSystemId system = QVSystemId::currentSystemId();
  for (const QVProcNetDev& dev : parsed.entries) {
    if (dev.name != "lo") {
      networkIds.insert(QVNetworkId::uniqueNetworkId(system, dev.name));
    }
  }
}

}  // namespace Quorvel
