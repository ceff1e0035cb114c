#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "RecordCommand.h"

namespace Quorvel {

class QVErrorManager;
class QVSessionConfig;
class QVSessionRecorder;

namespace qvprof {

// One way of recording, chosen by --driver: it starts the driver's
// recorder, tells the progress line how far it has come, and reads the
// recorder's notifications for the command. The command owns the rest
// (signals, the launched program, limits, saving), so every driver ends,
// reports and writes its session the same way.
class Recording {
 public:
  virtual ~Recording() = default;

  // Starts the recorder. Throws QVException with a one-line reason when
  // it cannot; notifications it collected go to err first.
  virtual void start(std::ostream& err) = 0;
  virtual QVSessionRecorder& recorder() = 0;

  // For the progress line; asked only when it is drawn.
  virtual uint64_t sampleCount() = 0;
  virtual size_t threadCount() = 0;

  // Whether the recorder's notifications say that the target exited.
  virtual bool targetExited(const QVErrorManager& ids) const;
  // Why nothing was recorded, when the notifications tell ("" otherwise).
  virtual std::string noSamplesReason(const QVErrorManager& ids) const;

  using Factory = std::function<std::unique_ptr<Recording>(
      const RecordCommand::Settings& settings, const std::shared_ptr<QVSessionConfig>& config, pid_t pid)>;
  // The factory of every recording: each is made from the settings, the
  // configuration and the target (0 for none).
  template <class R>
  static std::unique_ptr<Recording> make(const RecordCommand::Settings& settings,
                                         const std::shared_ptr<QVSessionConfig>& config, pid_t pid) {
    return std::make_unique<R>(settings, config, pid);
  }
  struct Kind {
    std::string driver;  // the --driver name
    Factory create;
  };
  // Every driver qvprof can record with.
  static const std::vector<Kind>& kinds();
  static bool canRecordWith(const std::string& driver);
  // Null when qvprof has no recording for the driver.
  static std::unique_ptr<Recording> create(const RecordCommand::Settings& settings,
                                           const std::shared_ptr<QVSessionConfig>& config, pid_t pid);
};

// A recording around one of the library's samplers, which is its recorder.
template <class Sampler>
class SamplerRecording : public Recording {
 public:
  QVSessionRecorder& recorder() override { return *sampler_; }

 protected:
  SamplerRecording(const std::shared_ptr<QVSessionConfig>& config, pid_t pid)
      : SamplerRecording(std::make_shared<Sampler>(config), pid) {}
  // For a sampler of a class derived from Sampler.
  SamplerRecording(const std::shared_ptr<Sampler>& sampler, pid_t pid) : pid_(pid), sampler_(sampler) {}

  pid_t pid_;
  std::shared_ptr<Sampler> sampler_;
};

}  // namespace qvprof
}  // namespace Quorvel
