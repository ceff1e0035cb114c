#include "SessionSamples.h"

#include <algorithm>

#include "RecordingProperties.h"

#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"

namespace Quorvel {
namespace qvprof {

SessionSamples::SessionSamples(const std::string& path) : profile_(QVSessionFile::read(path)) {
  // Kernel frames of this machine resolve through its running kernel, whose
  // symbols are read only once a session shows kernel frames.
  const auto data = profile_ ? profile_->callStackData() : nullptr;
  const auto archiver =
      data ? std::dynamic_pointer_cast<QVUniqueCallStackTenureArchiver>(data->archiver()) : nullptr;
  if (!archiver) return;
  for (const auto& entry : archiver->supervisorFrameArchivers()) {
    if (entry.first.asSystemId() == QVSystemId::currentSystemId()) {
      QVProcess::kernelProcessForSystem(QVSystemId::currentSystemId(), true);
      return;
    }
  }
}

SessionSamples::SessionSamples(std::shared_ptr<QVSessionProfile> profile) : profile_(std::move(profile)) {}

const SessionSamples::SampleList& SessionSamples::samples() const {
  static const SampleList kNone;
  return profile_ ? samplesOf(*profile_) : kNone;
}

const SessionSamples::SampleList& SessionSamples::samplesOf(const QVSessionProfile& profile) {
  static const SampleList kNone;
  // The vector belongs to the archiver, which the profile's data keep.
  const std::shared_ptr<QVSessionDataCallStackTenures> data = profile.callStackData();
  return data ? data->samples() : kNone;
}

int64_t SessionSamples::focusProcess(const QVSessionProfile& profile) {
  const QVPropertyMap& properties = profile.properties();
  if (properties.stringValue(QVSessionProfile::KeyProfileDriverName) != "perf" ||
      !properties.hasKey(RecordingProperties::TargetPid)) {
    return -1;
  }
  return properties.signedValue(RecordingProperties::TargetPid);
}

SessionSamples::SampleList SessionSamples::inTimeOrder() const {
  SampleList ordered;
  ordered.reserve(samples().size());
  for (const auto& sample : samples()) {
    if (sample) ordered.push_back(sample);
  }
  std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
    if (a->endTick() != b->endTick()) return a->endTick() < b->endTick();
    return a->beginTick() < b->beginTick();
  });
  return ordered;
}

}  // namespace qvprof
}  // namespace Quorvel
