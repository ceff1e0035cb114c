#pragma once

#include "Recording.h"

namespace Quorvel {

class QVSamplerProcess;

namespace qvprof {

// Recording with the target-process sampler: ptrace and remote unwinding
// of one process, the "process" driver.
class ProcessRecording : public Recording {
 public:
  ProcessRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSessionConfig>& config,
                   pid_t pid);
  static std::unique_ptr<Recording> create(const RecordCommand::Settings& settings,
                                           const std::shared_ptr<QVSessionConfig>& config, pid_t pid);

  void start(std::ostream& err) override;
  QVSessionRecorder& recorder() override;
  uint64_t sampleCount() override;
  size_t threadCount() override;
  bool targetExited(const QVErrorManager& ids) const override;
  std::string noSamplesReason(const QVErrorManager& ids) const override;

  // Why ptrace refuses pid, as far as it can be told from outside.
  static std::string notPermittedReason(pid_t pid);

 private:
  bool callStacks_;
  pid_t pid_;
  std::shared_ptr<QVSamplerProcess> sampler_;
};

}  // namespace qvprof
}  // namespace Quorvel
