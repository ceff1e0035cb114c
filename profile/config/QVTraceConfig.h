#pragma once

#include <iosfwd>
#include <memory>
#include <type_traits>

#include "data/QVConfig.h"

namespace Quorvel {

// Whether one kind of kernel event is traced alongside the samples. The
// kinds differ only in their configuration name; each archives its flag
// under "Enable", format 0.1, and starts disabled.
class QVTraceConfig : public QVConfig {
 public:
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }

  // "enabled" or "disabled".
  void getDescription(std::ostream& os) const;

  int getCurrentMajorVersion() const override { return 0; }
  int getCurrentMinorVersion() const override { return 1; }
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 protected:
  explicit QVTraceConfig(const char* name);
  // A copy of *other; a null other raises QVException naming the kind.
  QVTraceConfig(const QVTraceConfig* other, const char* kind);
  QVTraceConfig(const QVTraceConfig&) = default;
  QVTraceConfig& operator=(const QVTraceConfig&) = default;

 private:
  bool enabled_ = false;
};

// Equal enabled flags.
bool operator==(const QVTraceConfig& a, const QVTraceConfig& b);
bool operator!=(const QVTraceConfig& a, const QVTraceConfig& b);

// Both forward to getDescription; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVTraceConfig& config);
template <class T, class = std::enable_if_t<std::is_base_of<QVTraceConfig, T>::value>>
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<T>& config) {
  if (config) {
    config->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
