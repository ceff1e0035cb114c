#include "metrics/QVMetricInfo.h"

#include <iterator>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

const char* const QVMetricInfo::METRIC_GROUP_CPU = "CPU";
const char* const QVMetricInfo::METRIC_GROUP_DISK = "Disk";
const char* const QVMetricInfo::METRIC_GROUP_MEMORY = "Memory";
const char* const QVMetricInfo::METRIC_GROUP_NETWORK = "Network";

const char* const QVMetricInfo::METRIC_ID_SYSTEM_USER_TIME = "system.time.user";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_NICE_USER_TIME = "system.time.nice_user";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_SYSTEM_TIME = "system.time.system";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_IDLE_TIME = "system.time.idle";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_LOAD_AVG_1MIN = "system.loadavg.1min";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_LOAD_AVG_5MIN = "system.loadavg.5min";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_LOAD_AVG_15MIN = "system.loadavg.15min";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_USED_MEMORY_SIZE = "system.memory.used_size";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_FREE_MEMORY_SIZE = "system.memory.free_size";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_ACTIVE_MEMORY_SIZE = "system.memory.active_size";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_INACTIVE_MEMORY_SIZE = "system.memory.inactive_size";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_USED_SWAP_SIZE = "system.swap.used_size";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_FREE_SWAP_SIZE = "system.swap.free_size";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_PAGE_IN_COUNT = "system.vm.page_in_count";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_PAGE_OUT_COUNT = "system.vm.page_out_count";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_CONTEXT_SWITCH_COUNT = "system.sched.switch_count";
const char* const QVMetricInfo::METRIC_ID_SYSTEM_INTERRUPT_COUNT = "system.interrupt_count";
const char* const QVMetricInfo::METRIC_ID_PROCESS_USER_TIME = "process.time.user";
const char* const QVMetricInfo::METRIC_ID_PROCESS_SYSTEM_TIME = "process.time.system";
const char* const QVMetricInfo::METRIC_ID_PROCESS_THREAD_COUNT = "process.thread_count";
const char* const QVMetricInfo::METRIC_ID_PROCESS_VIRTUAL_SIZE = "process.memory.virtual_size";
const char* const QVMetricInfo::METRIC_ID_PROCESS_RESIDENT_SIZE = "process.memory.resident_size";
const char* const QVMetricInfo::METRIC_ID_PROCESS_MAJOR_FAULT_COUNT = "process.vm.major_count";
const char* const QVMetricInfo::METRIC_ID_PROCESS_MINOR_FAULT_COUNT = "process.vm.minor_count";
const char* const QVMetricInfo::METRIC_ID_PROCESS_CONTEXT_SWITCH_COUNT = "process.sched.switch_count";
const char* const QVMetricInfo::METRIC_ID_THREAD_USER_TIME = "thread.time.user";
const char* const QVMetricInfo::METRIC_ID_THREAD_SYSTEM_TIME = "thread.time.system";
const char* const QVMetricInfo::METRIC_ID_THREAD_MAJOR_FAULT_COUNT = "thread.vm.major_count";
const char* const QVMetricInfo::METRIC_ID_THREAD_MINOR_FAULT_COUNT = "thread.vm.minor_count";
const char* const QVMetricInfo::METRIC_ID_THREAD_CONTEXT_SWITCH_COUNT = "thread.sched.switch_count";
const char* const QVMetricInfo::METRIC_ID_DISK_READ_COUNT = "disk.read_count";
const char* const QVMetricInfo::METRIC_ID_DISK_READ_BYTES = "disk.read_bytes";
const char* const QVMetricInfo::METRIC_ID_DISK_READ_TIME = "disk.read_time";
const char* const QVMetricInfo::METRIC_ID_DISK_WRITE_COUNT = "disk.write_count";
const char* const QVMetricInfo::METRIC_ID_DISK_WRITE_BYTES = "disk.write_bytes";
const char* const QVMetricInfo::METRIC_ID_DISK_WRITE_TIME = "disk.write_time";
const char* const QVMetricInfo::METRIC_ID_NETWORK_PACKET_RECEIVE_COUNT = "net.receive_count";
const char* const QVMetricInfo::METRIC_ID_NETWORK_PACKET_RECEIVE_BYTES = "net.receive_bytes";
const char* const QVMetricInfo::METRIC_ID_NETWORK_PACKET_RECEIVE_TIME = "net.receive_time";
const char* const QVMetricInfo::METRIC_ID_NETWORK_PACKET_SEND_COUNT = "net.send_count";
const char* const QVMetricInfo::METRIC_ID_NETWORK_PACKET_SEND_BYTES = "net.send_bytes";
const char* const QVMetricInfo::METRIC_ID_NETWORK_PACKET_SEND_TIME = "net.send_time";

namespace {

const char* const kTypeNames[] = {"OTHER", "SYSTEM", "PROCESS", "THREAD", "PROCESSOR", "DISK", "NETWORK"};
const char* const kUnitsNames[] = {"NONE", "COUNT", "BYTES", "TIME", "RATIO",
                                   "PERCENT", "RATE", "RATE_COUNT", "RATE_BYTES", "STRING"};
const char* const kViewNames[] = {"VALUE", "DELTA_VALUE", "DELTA_PERCENT_TIME"};
const char* const kSortNames[] = {"ASCENDING", "DESCENDING"};

// One lookup for all four tables: a value outside its table is written, and
// an unknown name read, as the table's first entry.
template <std::size_t N>
const char* nameIn(const char* const (&table)[N], int value) {
  return value >= 0 && static_cast<std::size_t>(value) < N ? table[value] : table[0];
}

template <std::size_t N>
int valueIn(const char* const (&table)[N], const std::string& name) {
  for (std::size_t index = 0; index < N; ++index) {
    if (name == table[index]) {
      return static_cast<int>(index);
    }
  }
  return 0;
}

std::string decodedString(QVUnarchiver* unarchiver, const char* key) {
  std::string value;
  unarchiver->decodeString(key, value);
  return value;
}

}  // namespace

QVMetricInfo::QVMetricInfo(QVMetricType type, std::string id, std::string group, std::string name,
                           std::string description, QVMetricUnits units)
    : type_(type),
      id_(std::move(id)),
      group_(std::move(group)),
      name_(std::move(name)),
      description_(std::move(description)),
      units_(units) {}

const char* QVMetricInfo::typeName(QVMetricType type) { return nameIn(kTypeNames, type); }
const char* QVMetricInfo::unitsName(QVMetricUnits units) { return nameIn(kUnitsNames, units); }
const char* QVMetricInfo::viewName(QVMetricView view) { return nameIn(kViewNames, view); }
const char* QVMetricInfo::sortName(QVMetricSort sort) { return nameIn(kSortNames, sort); }
QVMetricInfo::QVMetricType QVMetricInfo::typeFromName(const std::string& name) {
  return static_cast<QVMetricType>(valueIn(kTypeNames, name));
}
QVMetricInfo::QVMetricUnits QVMetricInfo::unitsFromName(const std::string& name) {
  return static_cast<QVMetricUnits>(valueIn(kUnitsNames, name));
}
QVMetricInfo::QVMetricView QVMetricInfo::viewFromName(const std::string& name) {
  return static_cast<QVMetricView>(valueIn(kViewNames, name));
}
QVMetricInfo::QVMetricSort QVMetricInfo::sortFromName(const std::string& name) {
  return static_cast<QVMetricSort>(valueIn(kSortNames, name));
}

void QVMetricInfo::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeString(typeName(type_), "Type");
  archiver->encodeString(id_, "Id");
  archiver->encodeString(group_, "Group");
  archiver->encodeString(name_, "Name");
  archiver->encodeString(description_, "Description");
  archiver->encodeString(unitsName(units_), "Units");
  archiver->beginList("Views");
  for (QVMetricView view : views_) {
    archiver->encodeString(viewName(view), "View");
  }
  archiver->endList("Views");
  archiver->encodeString(sortName(sort_), "Sort");
}

void QVMetricInfo::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  type_ = typeFromName(decodedString(unarchiver, "Type"));
  id_ = decodedString(unarchiver, "Id");
  group_ = decodedString(unarchiver, "Group");
  name_ = decodedString(unarchiver, "Name");
  description_ = decodedString(unarchiver, "Description");
  units_ = unitsFromName(decodedString(unarchiver, "Units"));
  views_.clear();
  unarchiver->enterElement("Views");
  std::string key;
  while (unarchiver->nextKey(key)) {
    views_.push_back(viewFromName(decodedString(unarchiver, "View")));
  }
  unarchiver->leaveElement("Views");
  sort_ = sortFromName(decodedString(unarchiver, "Sort"));
}

void QVMetricInfo::getDescription(std::ostream& os) const {
  os << "{type: " << typeName(type_) << ", name: " << name_ << ", description: " << description_
     << ", units: " << unitsName(units_) << ", sort: " << sortName(sort_) << "}";
}

std::ostream& operator<<(std::ostream& os, const QVMetricInfo& info) {
  info.getDescription(os);
  return os;
}

}  // namespace Quorvel
