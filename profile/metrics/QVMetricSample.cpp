#include "metrics/QVMetricSample.h"

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

const char kMetricSystemIdKey[] = "SystemId";
const char kMetricProcessIdKey[] = "ProcessId";
const char kMetricThreadIdKey[] = "ThreadId";
const char kMetricProcessorIdKey[] = "ProcessorId";
const char kMetricDiskIdKey[] = "DiskId";
const char kMetricNetworkIdKey[] = "NetworkId";

void QVMetricSample::encodeWithArchiver(QVArchiver* archiver) const { archiver->encodeObject(metricMap_, "MetricMap"); }

void QVMetricSample::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeObject("MetricMap", metricMap_);
}

void QVMetricSample::getDescription(std::ostream& os) const {
  os << "{";
  const char* separator = "";
  for (const auto& entry : metricMap_) {
    os << separator << entry.first << ": " << entry.second;
    separator = ", ";
  }
  os << "}";
}

template <class Id, const char* Key>
void QVMetricSampleOf<Id, Key>::encodeWithArchiver(QVArchiver* archiver) const {
  QVMetricSample::encodeWithArchiver(archiver);
  archiver->encodeObject(id_, Key);
}

template <class Id, const char* Key>
void QVMetricSampleOf<Id, Key>::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVMetricSample::decodeWithUnarchiver(unarchiver);
  // Through the object map: ids are written once and referred to after.
  std::shared_ptr<Id> id;
  unarchiver->decodeObjectForKey(Key, id);
  id_ = id ? *id : Id();
}

template <class Id, const char* Key>
void QVMetricSampleOf<Id, Key>::getDescription(std::ostream& os) const {
  os << id_ << " ";
  QVMetricSample::getDescription(os);
}

template class QVMetricSampleOf<QVSystemId, kMetricSystemIdKey>;
template class QVMetricSampleOf<QVProcessId, kMetricProcessIdKey>;
template class QVMetricSampleOf<QVThreadId, kMetricThreadIdKey>;
template class QVMetricSampleOf<QVProcessorId, kMetricProcessorIdKey>;
template class QVMetricSampleOf<QVDiskId, kMetricDiskIdKey>;
template class QVMetricSampleOf<QVNetworkId, kMetricNetworkIdKey>;

}  // namespace Quorvel
