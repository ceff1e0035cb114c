#include "metrics/QVMetricDelta.h"

#include <limits>

namespace Quorvel {

bool QVMetricDelta::isFloat(const QVMetricInfo& info) {
  return info.units() == QVMetricInfo::TIME || info.units() == QVMetricInfo::NONE ||
         info.units() == QVMetricInfo::RATIO || info.units() == QVMetricInfo::PERCENT;
}

uint64_t QVMetricDelta::counterChange(uint64_t previous, uint64_t current) {
  if (current >= previous) {
    return current - previous;
  }
  if (previous <= std::numeric_limits<uint32_t>::max()) {
    return (uint64_t{1} << 32) - previous + current;
  }
  // Modulo 2^64: exactly the distance travelled through the wrap.
  return current - previous;
}

std::optional<double> QVMetricDelta::view(const QVMetricInfo& info, QVMetricInfo::QVMetricView view,
                                          const QVPropertyMap* previous, const QVPropertyMap& current,
                                          double elapsedSeconds, double shareDivisor) {
  const std::string& id = info.id();
  if (!current.hasKey(id)) {
    return std::nullopt;
  }
  const bool real = isFloat(info);
  if (view == QVMetricInfo::VALUE) {
    return real ? current.floatValue(id)
                : info.id() == QVMetricInfo::METRIC_ID_PROCESS_THREAD_COUNT
                      ? static_cast<double>(current.signedValue(id))
                      : static_cast<double>(current.unsignedValue(id));
  }
  if (previous == nullptr || !previous->hasKey(id) || !(elapsedSeconds > 0)) {
    return std::nullopt;
  }
  double change = 0;
  if (real) {
    change = current.floatValue(id) - previous->floatValue(id);
    if (change < 0) change = 0;
  } else if (info.units() == QVMetricInfo::BYTES || id == QVMetricInfo::METRIC_ID_PROCESS_THREAD_COUNT) {
    // Gauges: a fall is a real change, not a wrap.
    change = id == QVMetricInfo::METRIC_ID_PROCESS_THREAD_COUNT
                 ? static_cast<double>(current.signedValue(id) - previous->signedValue(id))
                 : static_cast<double>(current.unsignedValue(id)) - static_cast<double>(previous->unsignedValue(id));
    if (info.type() == QVMetricInfo::DISK || info.type() == QVMetricInfo::NETWORK) {
      // Disk and network byte totals are counters, not gauges.
      change = static_cast<double>(counterChange(previous->unsignedValue(id), current.unsignedValue(id)));
    }
  } else {
    change = static_cast<double>(counterChange(previous->unsignedValue(id), current.unsignedValue(id)));
  }
  if (view == QVMetricInfo::DELTA_VALUE) {
    return change;
  }
  return change / elapsedSeconds * 100.0 / (shareDivisor > 0 ? shareDivisor : 1.0);
}

}  // namespace Quorvel
