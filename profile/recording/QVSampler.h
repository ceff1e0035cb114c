#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "recording/QVSessionRecorder.h"

namespace Quorvel {

class QVAbstractCallStackTenureArchiver;

// The base of every sampling recorder: owns the archiver that receives the
// call-stack samples of the current recording, derives the sample limit
// from the configuration, answers the sampler's warnings and stops the
// recording when a back-end reports the sample limit reached.
class QVSampler : public QVSessionRecorder {
 public:
  explicit QVSampler(const std::shared_ptr<QVSessionConfig>& config);
  ~QVSampler() override;

  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;

  // Refused while active; otherwise the recorder's configuration plus the
  // sample limit (0 unless the configuration enables it).
  bool setConfig(const std::shared_ptr<QVSessionConfig>& config) override;

  // Samples taken so far in this recording (0 without an archiver).
  uint64_t sampleCount() const;
  uint64_t lostSampleCount() const;
  uint64_t sampleLimit() const;

 protected:
  // A fresh, empty archiver and no lost samples for each recording.
  bool _start() override;
  bool _stop() override;
  // The aborted recording's samples are dropped.
  bool _abort() override;
  // Reports lost samples; back-ends call it first from their own _collect.
  bool _collect() override;
  // Back-ends call this, from any thread, once the sample limit is reached.
  // Ends an active recording with StopReasonSampleLimit, or with
  // StopReasonAbort when stopping throws; never throws itself.
  virtual void _sampleLimitInternal();

  // Guarded by the recorder's mutex.
  std::shared_ptr<QVAbstractCallStackTenureArchiver> sampleArchiver_;
  uint64_t lostSampleCount_ = 0;
  uint64_t sampleLimit_ = 0;
};

}  // namespace Quorvel
