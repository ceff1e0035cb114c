#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "Linux/driver/QVDriverBuffer.h"
#include "Linux/driver/QVSamplerLinux.h"
#include "time/QVTimer.h"

namespace Quorvel {

class QVDriverBufferCursorMemory;
class QVDriverSampleDecoder;
class QVProfileDriverLinux;
class QVProfileDriverLinuxQVProfile;

/// Records every thread of the system through the qvprofile module: enables
/// and disables sampling through the module's files, drains its buffer on
/// the reading thread and, after the recording, decodes the chunks into
/// call-stack samples of threads on processors.
///
/// The sampler loads and initialises the module when it is not loaded, and
/// unloads what it loaded once the recording is collected or aborted. While
/// recording it refreshes the thread registry periodically, so that threads
/// which end before the recording does are still known when the samples are
/// decoded. Samples of threads that were never seen are dropped, never
/// attributed elsewhere.
class QVSamplerLinuxQVProfile : public QVSamplerLinux {
 public:
  static bool debug_;  ///< QV_DEBUG_QVPROFILE: a line per decoded record

  /// Records through the process-wide qvprofile driver.
  explicit QVSamplerLinuxQVProfile(const std::shared_ptr<QVSessionConfig>& config);
  /// Records through the given driver (another driver root).
  QVSamplerLinuxQVProfile(const std::shared_ptr<QVSessionConfig>& config,
                          const std::shared_ptr<QVProfileDriverLinuxQVProfile>& driver);
  ~QVSamplerLinuxQVProfile() override;

  /// Refused while recording; passes the configuration to the driver too.
  bool setConfig(const std::shared_ptr<QVSessionConfig>& config) override;

  const std::shared_ptr<QVProfileDriverLinux>& driver() const { return driver_; }
  /// Samples the reader has counted so far in this recording.
  uint64_t bufferedSampleCount() const;

  /// How often the thread registry is refreshed while recording (seconds).
  static constexpr double kThreadRefreshSeconds = 0.25;

 protected:
  /// For the back-ends whose module speaks a dialect of the same stream.
  QVSamplerLinuxQVProfile(const std::shared_ptr<QVSessionConfig>& config,
                          const std::shared_ptr<QVProfileDriverLinux>& driver, bool /*dialect*/);

  /// Decodes the words of one file buffer; the own module's stream goes
  /// to the decoder as it is. processed: words consumed.
  virtual bool _decodeFileBuffer(QVDriverBufferCursorMemory& words, QVDriverSampleDecoder& decoder,
                                 uint64_t& processed);

  bool _start() override;
  /// Marks the driver as loaded by this sampler: unloaded again once the
  /// recording is collected or aborted.
  void _setLoadedDriver() { loadedDriver_ = true; }
  bool _stop() override;
  bool _abort() override;
  bool _collect() override;
  /// Decodes the file buffers into the sample archiver.
  void _processSamples(const std::vector<QVFileBufferId>& fileBuffers);

 private:
  void _unloadIfOurs();

  std::shared_ptr<QVProfileDriverLinux> driver_;
  boost::posix_time::ptime startTime_;
  boost::posix_time::ptime endTime_;
  uint64_t startTick_ = 0;
  uint64_t endTick_ = 0;
  bool loadedDriver_ = false;
  QVTimer threadRefresh_;
};

}  // namespace Quorvel
