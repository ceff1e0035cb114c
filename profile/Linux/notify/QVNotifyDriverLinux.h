#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "notify/QVNotifyDriver.h"

namespace Quorvel {

class QVDriverFilesystem;

/// The task-exit notification module "qvnotify": a driver filesystem at
/// "/dev/qvnotify" (through QVSystemPaths) with "pointer_size",
/// "buffer_size", "buffer_watershed", "enable" and the "buffer" device that
/// delivers the task-exit stream. Found, started and stopped like the
/// profile modules: modprobe and the module's init script.
class QVNotifyDriverLinux : public QVNotifyDriver {
 public:
  /// Set when "QV_DISABLE_QVNOTIFY_DRIVER" is present at library load.
  static bool disabled_;

  QVNotifyDriverLinux(const std::string& identifier, const std::string& filesystemRoot);
  ~QVNotifyDriverLinux() override;

  /// The process-wide driver on "/dev/qvnotify".
  static std::shared_ptr<QVNotifyDriverLinux> defaultDriver();

  /// The module exists (modprobe) and its init script is installed.
  bool isAvailable() const override;
  /// Runs the init script with "start" unless the module is loaded.
  bool load(const std::vector<std::string>& args) override;
  bool unload() override;
  /// The "buffer" device exists.
  bool isLoaded() const override;
  /// Reads the word size and writes the default buffer configuration.
  bool init() override;
  bool setup() override;
  bool shutdown() override;
  /// 1 MiB with more than 1 GiB of memory, else 128 KiB; watershed a quarter.
  void getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed) const override;
  /// Writes both in words and keeps what the driver reads back.
  void setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed) override;

  const std::shared_ptr<QVDriverFilesystem>& filesystem() const { return filesystem_; }
  /// Bytes per stream word ("pointer_size"); 0 before init.
  uint64_t wordSize() const { return wordSize_; }

  /// The default buffer for a machine with this much memory.
  static void defaultBufferConfigFor(uint64_t memorySize, uint64_t& bufferSize, uint64_t& bufferWatershed);

 private:
  std::shared_ptr<QVDriverFilesystem> filesystem_;
  uint64_t wordSize_ = 0;
};

}  // namespace Quorvel
