#pragma once

#include <string>

#include "Recording.h"

namespace Quorvel {

class QVSamplerLinuxQVProfile;

namespace qvprof {

// Recording with a kernel-module driver, qvprofile or oprofile: every thread
// of the system, sampled by the driver on each processor and drained while
// the recording runs; the samples are decoded when it ends. A program qvprof
// starts is recorded along with everything else that runs.
class QVProfileRecording : public Recording {
 public:
  QVProfileRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSamplerLinuxQVProfile>& sampler,
                     const std::string& driverName, pid_t pid);
  static std::unique_ptr<Recording> create(const RecordCommand::Settings& settings,
                                           const std::shared_ptr<QVSessionConfig>& config, pid_t pid);
  static std::unique_ptr<Recording> createOprofile(const RecordCommand::Settings& settings,
                                                   const std::shared_ptr<QVSessionConfig>& config, pid_t pid);

  void start(std::ostream& err) override;
  QVSessionRecorder& recorder() override;
  // Samples the driver delivered so far (decoded only at the end).
  uint64_t sampleCount() override;
  // Threads of the program qvprof started (or attached to); the system's
  // threads are only known once the samples are decoded.
  size_t threadCount() override;
  std::string noSamplesReason(const QVErrorManager& ids) const override;

 private:
  pid_t pid_;
  std::shared_ptr<QVSamplerLinuxQVProfile> sampler_;
  std::string driverName_;
};

}  // namespace qvprof
}  // namespace Quorvel
