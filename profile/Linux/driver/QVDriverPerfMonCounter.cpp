#include "Linux/driver/QVDriverPerfMonCounter.h"

#include <ostream>

#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVPerfMonEventLinux.h"
#include "base/QVException.h"

namespace Quorvel {

QVDriverPerfMonCounter::QVDriverPerfMonCounter(const std::shared_ptr<QVDriverFilesystem>& filesystem, unsigned index)
    : filesystem_(filesystem),
      name_(filesystem->exists("pmc" + std::to_string(index)) ? "pmc" + std::to_string(index) : std::to_string(index)),
      event_(QVPerfMonEventLinux::NULL_EVENT) {
  reset();
}

void QVDriverPerfMonCounter::reset() {
  event_ = QVPerfMonEventLinux::NULL_EVENT;
  count_ = 0;
  enabled_ = false;
  if (!_write()) throw QVException("Failed to reset counter " + name_, __LINE__, __FILE__);
}

void QVDriverPerfMonCounter::configure() {
  if (!_write()) throw QVException("Failed to configure counter " + name_, __LINE__, __FILE__);
}

void QVDriverPerfMonCounter::setEvent(const std::shared_ptr<QVPerfMonEventLinux>& event, uint64_t count) {
  event_ = event ? event : QVPerfMonEventLinux::NULL_EVENT;
  count_ = count;
  enabled_ = true;
}

bool QVDriverPerfMonCounter::_write() const {
  // A free counter is written all zero so that nothing of an earlier
  // recording's programming survives in the driver.
  const bool on = enabled_;
  const unsigned long values[] = {on ? (unsigned long)count_ : 0ul,
                                  on ? 1ul : 0ul,
                                  on ? (unsigned long)event_->eventSelect() : 0ul,
                                  on ? 1ul : 0ul,
                                  on ? (unsigned long)event_->unitMaskSelect() : 0ul,
                                  on ? 1ul : 0ul};
  const char* const files[] = {"/count", "/enabled", "/event", "/kernel", "/unit_mask", "/user"};
  for (int i = 0; i < 6; ++i) {
    if (!filesystem_->writeInt(name_ + files[i], values[i])) return false;
  }
  return true;
}

void QVDriverPerfMonCounter::getDescription(std::ostream& os) const {
  os << event_->counterSelect() << ":" << event_->eventSelect() << ":" << event_->unitMaskSelect() << ":" << count_
     << ":" << enabled_;
}

}  // namespace Quorvel
