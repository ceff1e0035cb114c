#pragma once

#include <memory>
#include <string>

#include "Linux/driver/QVProfileDriverLinux.h"

namespace Quorvel {

/// The driver of the library's own module "qvprofile" (driver filesystem
/// "/dev/qvprofile"). Declines Xen kernels and QV_DISABLE_QVPROFILE_DRIVER,
/// proposes the module's buffer sizes and loads the processor's event list
/// from GetShareDirectory() + "/events/<processor>.xml", where <processor>
/// is ProcessorToString with its first ":" turned into "-". Timer mode
/// ("cpu_type" "timer") needs no event list.
class QVProfileDriverLinuxQVProfile : public QVProfileDriverLinux {
 public:
  static bool disabled_;  ///< QV_DISABLE_QVPROFILE_DRIVER

  /// The process-wide instance ("profile.driver.linux.qvprofile").
  static std::shared_ptr<QVProfileDriverLinuxQVProfile> defaultDriver();

  QVProfileDriverLinuxQVProfile(const std::string& identifier, const std::string& filesystemRoot);

  void getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed, uint64_t& cpuBufferSize) const override;
  bool isAvailable() const override;
  bool init() override;

  /// The event-list file of a processor (whether or not it exists).
  static std::string eventListPath(QVProcessor processor);
  /// Where the kernel release comes from; empty restores uname. For tests
  /// of the Xen check.
  static void setKernelReleaseSource(std::function<std::string()> source);

 protected:
  bool _loadEvents();
};

}  // namespace Quorvel
