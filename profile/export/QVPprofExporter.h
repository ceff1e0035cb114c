#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "calltree/QVCallTree.h"

namespace perftools {
namespace profiles {
class Profile;
}
}  // namespace perftools

namespace Quorvel {

class QVSessionProfile;

// A session's samples as a pprof profile: the gzip-compressed protocol
// buffer that `go tool pprof` and the fleet-wide profilers built on it read.
//
// - Sample values are the sample count and, for timer-driven sessions, CPU
//   time (count times the timer interval, in nanoseconds), which is then
//   also the period. Event-driven sessions give the trigger count as the
//   period of "events".
// - Identical stacks of one thread are one sample; each carries the
//   numeric labels "pid" and "tid" and, when the thread has a name, the
//   label "thread".
// - Locations are per module and address, innermost first as the format
//   wants; their lines name the function (demangled, with the linker's
//   name as system name and the source file) and the source line where the
//   session resolves one. Frames of unknown symbols keep their address and
//   no line.
// - Mappings are per module: the span of the sections the samples touched,
//   the module's path and, when the file is there to read, its build id.
//   The target's executable comes first. Every mapping says that it holds
//   functions already, so readers do not try to symbolize it again.
class QVPprofExporter {
 public:
  // `samples` are what to export (already filtered); `session` gives the
  // period, the time and the duration.
  QVPprofExporter(const QVSessionProfile& session, const QVCallTree::TenureList& samples);
  ~QVPprofExporter();
  QVPprofExporter(const QVPprofExporter&) = delete;
  QVPprofExporter& operator=(const QVPprofExporter&) = delete;

  const perftools::profiles::Profile& profile() const { return *profile_; }
  // The gzip-compressed message; false when the stream failed.
  bool write(std::ostream& out) const;

 private:
  std::unique_ptr<perftools::profiles::Profile> profile_;
};

}  // namespace Quorvel
