#pragma once

#include <string>

#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "Recording.h"

namespace Quorvel {

namespace qvprof {

// Recording with a kernel-module driver, qvprofile or oprofile: every thread
// of the system, sampled by the driver on each processor and drained while
// the recording runs; the samples are decoded when it ends. A program qvprof
// starts is recorded along with everything else that runs.
class QVProfileRecording : public SamplerRecording<QVSamplerLinuxQVProfile> {
 public:
  QVProfileRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSessionConfig>& config,
                     pid_t pid);

  void start(std::ostream& err) override;
  // Samples the driver delivered so far (decoded only at the end).
  uint64_t sampleCount() override;
  // Threads of the program qvprof started (or attached to); the system's
  // threads are only known once the samples are decoded.
  size_t threadCount() override;
  std::string noSamplesReason(const QVErrorManager& ids) const override;

 protected:
  QVProfileRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSamplerLinuxQVProfile>& sampler,
                     const std::string& driverName, pid_t pid);

 private:
  std::string driverName_;
};

// The same recording through the oprofile driver, whose sampler reads
// oprofile's stream into the qvprofile sampler's decoding.
class OprofileRecording : public QVProfileRecording {
 public:
  OprofileRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSessionConfig>& config,
                    pid_t pid);
};

}  // namespace qvprof
}  // namespace Quorvel
