#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Quorvel {

class QVSessionProfile;

namespace test {

// A small session of the calling process whose frames point into functions
// of this support library, so that they resolve through the real process
// model (and, once written, through the session file alone):
//
//   6 samples  qv_known_outer -> qv_known_middle -> qv_known_hot
//   2 samples  qv_known_outer -> qv_known_middle -> qv_known_cold
//   2 samples  qv_known_outer -> qv_known_cold
//
// so qv_known_outer has 100% of the samples, qv_known_middle 80%,
// qv_known_hot 60% (all self) and qv_known_cold 40% (20% under each
// caller). All on the calling thread, one sample every millisecond from
// tick 1,000,000. With tenures, the thread also ran from 1 ms to 6 ms and
// from 8 ms to 11 ms, and spent 2 ms in one write(2); with metrics, three
// passes of the one-minute load average reading 0.5, 1.5 and 1.0.
class KnownSession {
 public:
  static constexpr uint64_t kSamples = 10;
  static constexpr uint64_t kFirstTick = 1000000;
  static constexpr uint64_t kTickStep = 1000000;

  // `samples` > 10 repeats the pattern above (a tenth of them as one
  // sample pattern each) for sessions of any size.
  static std::shared_ptr<QVSessionProfile> make(bool withTenuresAndMetrics, uint64_t samples = kSamples);
  static void write(const std::string& path, bool withTenuresAndMetrics, uint64_t samples = kSamples);
};

}  // namespace test
}  // namespace Quorvel
