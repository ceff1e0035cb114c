#pragma once

#include "Recording.h"
#include "recording/QVSamplerProcess.h"

namespace Quorvel {

namespace qvprof {

// Recording with the target-process sampler: ptrace and remote unwinding
// of one process, the "process" driver.
class ProcessRecording : public SamplerRecording<QVSamplerProcess> {
 public:
  ProcessRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSessionConfig>& config,
                   pid_t pid);

  void start(std::ostream& err) override;
  uint64_t sampleCount() override;
  size_t threadCount() override;
  bool targetExited(const QVErrorManager& ids) const override;
  std::string noSamplesReason(const QVErrorManager& ids) const override;

  // Why ptrace refuses pid, as far as it can be told from outside.
  static std::string notPermittedReason(pid_t pid);

 private:
  bool callStacks_;
};

}  // namespace qvprof
}  // namespace Quorvel
