#pragma once

#include <memory>
#include <ostream>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "data/QVPropertyMap.h"
#include "ids/QVDiskId.h"
#include "ids/QVNetworkId.h"
#include "ids/QVProcessId.h"
#include "ids/QVProcessorId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"

namespace Quorvel {

// The values of one sampling pass for one entity: a map from metric id to
// value, set through the map's typed setters. Archived as "MetricMap"; the
// entity subclasses add their id after it.
class QVMetricSample : public QVArchivable, public QVUnarchivable {
 public:
  ~QVMetricSample() override = default;

  const QVPropertyMap& metricMap() const { return metricMap_; }
  QVPropertyMap& mutableMetricMap() { return metricMap_; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  virtual void getDescription(std::ostream& os) const;

 private:
  QVPropertyMap metricMap_;
};

// A sample of one entity kind. Decoding interns the id through its unique
// factory (the id's own decoding does), so equal ids share one instance.
template <class Id, const char* Key>
class QVMetricSampleOf : public QVMetricSample {
 public:
  QVMetricSampleOf() = default;
  explicit QVMetricSampleOf(const Id& id) : id_(id) {}

  const Id& entityId() const { return id_; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  void getDescription(std::ostream& os) const override;

 private:
  Id id_;
};

extern const char kMetricSystemIdKey[];
extern const char kMetricProcessIdKey[];
extern const char kMetricThreadIdKey[];
extern const char kMetricProcessorIdKey[];
extern const char kMetricDiskIdKey[];
extern const char kMetricNetworkIdKey[];

class QVMetricSampleSystem : public QVMetricSampleOf<QVSystemId, kMetricSystemIdKey> {
 public:
  using QVMetricSampleOf::QVMetricSampleOf;
  const QVSystemId& systemId() const { return entityId(); }
};
class QVMetricSampleProcess : public QVMetricSampleOf<QVProcessId, kMetricProcessIdKey> {
 public:
  using QVMetricSampleOf::QVMetricSampleOf;
  const QVProcessId& processId() const { return entityId(); }
};
class QVMetricSampleThread : public QVMetricSampleOf<QVThreadId, kMetricThreadIdKey> {
 public:
  using QVMetricSampleOf::QVMetricSampleOf;
  const QVThreadId& threadId() const { return entityId(); }
};
class QVMetricSampleProcessor : public QVMetricSampleOf<QVProcessorId, kMetricProcessorIdKey> {
 public:
  using QVMetricSampleOf::QVMetricSampleOf;
  const QVProcessorId& processorId() const { return entityId(); }
};
class QVMetricSampleDisk : public QVMetricSampleOf<QVDiskId, kMetricDiskIdKey> {
 public:
  using QVMetricSampleOf::QVMetricSampleOf;
  const QVDiskId& diskId() const { return entityId(); }
};
class QVMetricSampleNetwork : public QVMetricSampleOf<QVNetworkId, kMetricNetworkIdKey> {
 public:
  using QVMetricSampleOf::QVMetricSampleOf;
  const QVNetworkId& networkId() const { return entityId(); }
};

}  // namespace Quorvel
