#pragma once

#include <memory>

namespace Quorvel {

// Pins the processors' frequencies for a recording and puts back what it
// found, so that time- and event-based triggers fire at a steady rate.
//
// Contract:
// - start() pins every processor that offers frequency scaling at its
//   highest available frequency; stop() restores the settings found when the
//   instance was created (a second start() does not move that restore point).
// - Both return true only when every such processor was handled; neither
//   throws. Processors without frequency scaling are skipped, so on a machine
//   without it both succeed without touching a file.
// - Destroying the instance calls stop().
// - Not locked: callers serialise start() and stop().
class QVCpuFreq {
 public:
  virtual ~QVCpuFreq() = default;
  virtual bool start() = 0;
  virtual bool stop() = 0;

  // The process-wide instance for this platform, made on the first call
  // (thread-safe) and kept until the library is unloaded, when it restores.
  static std::shared_ptr<QVCpuFreq> defaultCpuFreq();
};

}  // namespace Quorvel
