#include "metrics/QVMetricData.h"

#include <algorithm>
#include <vector>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

namespace {

template <class Id, class Sample>
std::shared_ptr<Sample> addSample(QVMetricData::SampleMap<Id, Sample>& map, const Id& id) {
  std::shared_ptr<Sample>& slot = map[id];
  if (!slot) {
    slot = std::make_shared<Sample>(id);
  }
  return slot;
}

template <class Id, class Sample>
std::shared_ptr<const Sample> findSample(const QVMetricData::SampleMap<Id, Sample>& map, const Id& id) {
  static const std::shared_ptr<const Sample> empty = std::make_shared<Sample>();
  auto found = map.find(id);
  return found == map.end() ? empty : found->second;
}

template <class Id, class Sample>
void encodeSamples(QVArchiver* archiver, const QVMetricData::SampleMap<Id, Sample>& map, const char* key) {
  std::vector<const Sample*> ordered;
  ordered.reserve(map.size());
  for (const auto& entry : map) {
    ordered.push_back(entry.second.get());
  }
  std::sort(ordered.begin(), ordered.end(),
            [](const Sample* a, const Sample* b) { return a->entityId() < b->entityId(); });
  archiver->beginList(key);
  for (const Sample* sample : ordered) {
    archiver->encodeObject(*sample, "Sample");
  }
  archiver->endList(key);
}

template <class Id, class Sample>
void decodeSamples(QVUnarchiver* unarchiver, QVMetricData::SampleMap<Id, Sample>& map, const char* key) {
  map.clear();
  if (!unarchiver->hasValueForKey(key)) {
    return;
  }
  unarchiver->enterElement(key);
  std::string element;
  while (unarchiver->nextKey(element)) {
    auto sample = std::make_shared<Sample>();
    unarchiver->decodeObject("Sample", *sample);
    map[sample->entityId()] = sample;
  }
  unarchiver->leaveElement(key);
}

}  // namespace

std::shared_ptr<QVMetricSampleSystem> QVMetricData::addSystemSample(const QVSystemId& id) {
  return addSample(systemSamples_, id);
}
std::shared_ptr<QVMetricSampleProcess> QVMetricData::addProcessSample(const QVProcessId& id) {
  return addSample(processSamples_, id);
}
std::shared_ptr<QVMetricSampleThread> QVMetricData::addThreadSample(const QVThreadId& id) {
  return addSample(threadSamples_, id);
}
std::shared_ptr<QVMetricSampleProcessor> QVMetricData::addProcessorSample(const QVProcessorId& id) {
  return addSample(processorSamples_, id);
}
std::shared_ptr<QVMetricSampleDisk> QVMetricData::addDiskSample(const QVDiskId& id) { return addSample(diskSamples_, id); }
std::shared_ptr<QVMetricSampleNetwork> QVMetricData::addNetworkSample(const QVNetworkId& id) {
  return addSample(networkSamples_, id);
}

std::shared_ptr<const QVMetricSampleSystem> QVMetricData::sampleForSystem(const QVSystemId& id) const {
  return findSample(systemSamples_, id);
}
std::shared_ptr<const QVMetricSampleProcess> QVMetricData::sampleForProcess(const QVProcessId& id) const {
  return findSample(processSamples_, id);
}
std::shared_ptr<const QVMetricSampleThread> QVMetricData::sampleForThread(const QVThreadId& id) const {
  return findSample(threadSamples_, id);
}
std::shared_ptr<const QVMetricSampleProcessor> QVMetricData::sampleForProcessor(const QVProcessorId& id) const {
  return findSample(processorSamples_, id);
}
std::shared_ptr<const QVMetricSampleDisk> QVMetricData::sampleForDisk(const QVDiskId& id) const {
  return findSample(diskSamples_, id);
}
std::shared_ptr<const QVMetricSampleNetwork> QVMetricData::sampleForNetwork(const QVNetworkId& id) const {
  return findSample(networkSamples_, id);
}

void QVMetricData::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(timeRange_, "TimeRange");
  encodeSamples(archiver, systemSamples_, "SystemSamples");
  encodeSamples(archiver, processSamples_, "ProcessSamples");
  encodeSamples(archiver, threadSamples_, "ThreadSamples");
  encodeSamples(archiver, processorSamples_, "ProcessorSamples");
  encodeSamples(archiver, diskSamples_, "DiskSamples");
  encodeSamples(archiver, networkSamples_, "NetworkSamples");
}

void QVMetricData::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeObject("TimeRange", timeRange_);
  decodeSamples(unarchiver, systemSamples_, "SystemSamples");
  decodeSamples(unarchiver, processSamples_, "ProcessSamples");
  decodeSamples(unarchiver, threadSamples_, "ThreadSamples");
  decodeSamples(unarchiver, processorSamples_, "ProcessorSamples");
  decodeSamples(unarchiver, diskSamples_, "DiskSamples");
  decodeSamples(unarchiver, networkSamples_, "NetworkSamples");
}

}  // namespace Quorvel
