#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"

namespace Quorvel {

// The description of one metric: what it measures, in which units, and the
// views (raw value, change per pass, share of elapsed time) a display may
// offer. Platform subclasses add the operation that fills a sample.
//
// Archive keys: "Type", "Id", "Group", "Name", "Description", "Units"
// (enumerations by name), array "Views" of "View", "Sort". A name that is
// not in a table decodes as the table's first value.
class QVMetricInfo : public QVArchivable, public QVUnarchivable {
 public:
  enum QVMetricType { OTHER = 0, SYSTEM, PROCESS, THREAD, PROCESSOR, DISK, NETWORK };
  enum QVMetricUnits { NONE = 0, COUNT, BYTES, TIME, RATIO, PERCENT, RATE, RATE_COUNT, RATE_BYTES, STRING };
  enum QVMetricView { VALUE = 0, DELTA_VALUE, DELTA_PERCENT_TIME };
  enum QVMetricSort { ASCENDING = 0, DESCENDING };

  static const char* const METRIC_GROUP_CPU;
  static const char* const METRIC_GROUP_DISK;
  static const char* const METRIC_GROUP_MEMORY;
  static const char* const METRIC_GROUP_NETWORK;

  static const char* const METRIC_ID_SYSTEM_USER_TIME;
  static const char* const METRIC_ID_SYSTEM_NICE_USER_TIME;
  static const char* const METRIC_ID_SYSTEM_SYSTEM_TIME;
  static const char* const METRIC_ID_SYSTEM_IDLE_TIME;
  static const char* const METRIC_ID_SYSTEM_LOAD_AVG_1MIN;
  static const char* const METRIC_ID_SYSTEM_LOAD_AVG_5MIN;
  static const char* const METRIC_ID_SYSTEM_LOAD_AVG_15MIN;
  static const char* const METRIC_ID_SYSTEM_USED_MEMORY_SIZE;
  static const char* const METRIC_ID_SYSTEM_FREE_MEMORY_SIZE;
  static const char* const METRIC_ID_SYSTEM_ACTIVE_MEMORY_SIZE;
  static const char* const METRIC_ID_SYSTEM_INACTIVE_MEMORY_SIZE;
  static const char* const METRIC_ID_SYSTEM_USED_SWAP_SIZE;
  static const char* const METRIC_ID_SYSTEM_FREE_SWAP_SIZE;
  static const char* const METRIC_ID_SYSTEM_PAGE_IN_COUNT;
  static const char* const METRIC_ID_SYSTEM_PAGE_OUT_COUNT;
  static const char* const METRIC_ID_SYSTEM_CONTEXT_SWITCH_COUNT;
  static const char* const METRIC_ID_SYSTEM_INTERRUPT_COUNT;
  static const char* const METRIC_ID_PROCESS_USER_TIME;
  static const char* const METRIC_ID_PROCESS_SYSTEM_TIME;
  static const char* const METRIC_ID_PROCESS_THREAD_COUNT;
  static const char* const METRIC_ID_PROCESS_VIRTUAL_SIZE;
  static const char* const METRIC_ID_PROCESS_RESIDENT_SIZE;
  static const char* const METRIC_ID_PROCESS_MAJOR_FAULT_COUNT;
  static const char* const METRIC_ID_PROCESS_MINOR_FAULT_COUNT;
  static const char* const METRIC_ID_PROCESS_CONTEXT_SWITCH_COUNT;
  static const char* const METRIC_ID_THREAD_USER_TIME;
  static const char* const METRIC_ID_THREAD_SYSTEM_TIME;
  static const char* const METRIC_ID_THREAD_MAJOR_FAULT_COUNT;
  static const char* const METRIC_ID_THREAD_MINOR_FAULT_COUNT;
  static const char* const METRIC_ID_THREAD_CONTEXT_SWITCH_COUNT;
  static const char* const METRIC_ID_DISK_READ_COUNT;
  static const char* const METRIC_ID_DISK_READ_BYTES;
  static const char* const METRIC_ID_DISK_READ_TIME;
  static const char* const METRIC_ID_DISK_WRITE_COUNT;
  static const char* const METRIC_ID_DISK_WRITE_BYTES;
  static const char* const METRIC_ID_DISK_WRITE_TIME;
  static const char* const METRIC_ID_NETWORK_PACKET_RECEIVE_COUNT;
  static const char* const METRIC_ID_NETWORK_PACKET_RECEIVE_BYTES;
  static const char* const METRIC_ID_NETWORK_PACKET_RECEIVE_TIME;
  static const char* const METRIC_ID_NETWORK_PACKET_SEND_COUNT;
  static const char* const METRIC_ID_NETWORK_PACKET_SEND_BYTES;
  static const char* const METRIC_ID_NETWORK_PACKET_SEND_TIME;

  QVMetricInfo() = default;
  QVMetricInfo(QVMetricType type, std::string id, std::string group, std::string name, std::string description,
               QVMetricUnits units);
  ~QVMetricInfo() override = default;

  QVMetricType type() const { return type_; }
  const std::string& id() const { return id_; }
  const std::string& group() const { return group_; }
  const std::string& name() const { return name_; }
  const std::string& description() const { return description_; }
  QVMetricUnits units() const { return units_; }
  const std::vector<QVMetricView>& views() const { return views_; }
  QVMetricSort sort() const { return sort_; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  void getDescription(std::ostream& os) const;

  static const char* typeName(QVMetricType type);
  static const char* unitsName(QVMetricUnits units);
  static const char* viewName(QVMetricView view);
  static const char* sortName(QVMetricSort sort);
  static QVMetricType typeFromName(const std::string& name);
  static QVMetricUnits unitsFromName(const std::string& name);
  static QVMetricView viewFromName(const std::string& name);
  static QVMetricSort sortFromName(const std::string& name);

 protected:
  void addView(QVMetricView view) { views_.push_back(view); }

 private:
  QVMetricType type_ = OTHER;
  std::string id_;
  std::string group_;
  std::string name_;
  std::string description_;
  QVMetricUnits units_ = NONE;
  std::vector<QVMetricView> views_;
  QVMetricSort sort_ = DESCENDING;
};

std::ostream& operator<<(std::ostream& os, const QVMetricInfo& info);

}  // namespace Quorvel
