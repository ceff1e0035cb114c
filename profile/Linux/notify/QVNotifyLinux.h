#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Linux/driver/QVDriverBuffer.h"
#include "notify/QVNotify.h"

namespace Quorvel {

class QVNotifyDriverLinux;
struct QVTaskExitRecord;

/// Reads the qvnotify driver's task-exit stream during a recording and, when
/// the recording stops, registers the exited processes, threads and their
/// executable modules in the process model, so that samples of tasks gone
/// before anyone looked at /proc can still be attributed.
///
/// start, stop and abort run on the recorder's thread under the notifier's
/// mutex; one reading thread drains the device into a temporary file.
class QVNotifyLinux : public QVNotify {
 public:
  /// Without a driver, the process-wide qvnotify driver; without a buffer
  /// reader, one that copies the driver's "buffer" device.
  explicit QVNotifyLinux(std::shared_ptr<QVNotifyDriverLinux> driver = nullptr,
                         std::unique_ptr<QVDriverBufferSimple> buffer = nullptr);
  ~QVNotifyLinux() override;

  /// Opens the buffer, starts the reading thread and writes "enable" = 1.
  bool start() override;
  /// Writes "enable" = 0, drains and closes the buffer, then registers
  /// what the stream reported.
  bool stop() override;
  /// As stop, without registering anything.
  void abort() override;

  /// Registers the exited tasks of one stream file; the number of records.
  uint64_t _processTaskExits(const std::string& path);
  static std::string _getTagName(uint64_t code);

 private:
  void _readBufferThreadBody();
  bool _endMonitoring(const char* disableFailure);
  void _registerRecord(const QVTaskExitRecord& record);
  /// The mapped file of a cookie, cached per cookie; empty when unknown.
  const std::string& _pathForCookie(uint64_t cookie);

  std::shared_ptr<QVNotifyDriverLinux> driver_;
  std::unique_ptr<QVDriverBufferSimple> buffer_;
  std::thread thread_;
  std::mutex readingMutex_;
  std::condition_variable readingChanged_;
  bool reading_ = false;
  std::map<uint64_t, std::string> cookiePaths_;
};

}  // namespace Quorvel
