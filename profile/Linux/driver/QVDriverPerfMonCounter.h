#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

namespace Quorvel {

class QVDriverFilesystem;
class QVPerfMonEventLinux;

/// One hardware counter of a kernel-module driver, programmed through its
/// directory of the driver filesystem ("pmcN/" when the driver names them
/// so, else "N/"): count, enabled, event, kernel, unit_mask, user.
class QVDriverPerfMonCounter {
 public:
  /// Starts free and writes that state; raises QVException when it cannot.
  QVDriverPerfMonCounter(const std::shared_ptr<QVDriverFilesystem>& filesystem, unsigned index);
  QVDriverPerfMonCounter(const QVDriverPerfMonCounter&) = delete;
  QVDriverPerfMonCounter& operator=(const QVDriverPerfMonCounter&) = delete;

  /// Frees the counter and writes it; raises QVException on a failed write.
  void reset();
  /// Writes the current programming; raises QVException on a failed write.
  void configure();

  void setEvent(const std::shared_ptr<QVPerfMonEventLinux>& event, uint64_t count);

  const std::string& name() const { return name_; }
  const std::shared_ptr<QVPerfMonEventLinux>& event() const { return event_; }
  uint64_t count() const { return count_; }
  bool enabled() const { return enabled_; }

  /// "counterSelect:eventSelect:unitMaskSelect:count:enabled"
  void getDescription(std::ostream& os) const;

 private:
  bool _write() const;

  std::shared_ptr<QVDriverFilesystem> filesystem_;
  std::string name_;
  std::shared_ptr<QVPerfMonEventLinux> event_;
  uint64_t count_ = 0;
  bool enabled_ = false;
};

}  // namespace Quorvel
