#pragma once

#include <iosfwd>

#include <nlohmann/json.hpp>

#include "calltree/QVCallTree.h"
#include "export/QVSampleSelection.h"

namespace Quorvel {

class QVSessionProfile;

// A session as a Chrome trace-event file, which Perfetto and
// chrome://tracing open: one track per thread, named by "process_name" and
// "thread_name" metadata events.
//
// - Each sample is an instant event ("ph" "i", thread scope) at the tick it
//   was taken, named after its innermost function, whose stack is the
//   "sf" entry of the shared "stackFrames" table (frames named as flame
//   graphs name them, categorised by module, outermost frames as parents).
// - Thread tenures are complete events ("ph" "X") named "running", with
//   the processor and why the slice ended; system calls are complete
//   events named "syscall N" with their arguments and result. Sessions
//   without them just have no such events.
// Times are microseconds from the earliest tick exported, so every "ts"
// is at least 0; events are ordered by time, then by thread.
class QVTraceExporter {
 public:
  // `samples` are already filtered; `filter` selects the tenures the same
  // way.
  QVTraceExporter(const QVSessionProfile& session, const QVCallTree::TenureList& samples,
                  const QVSampleFilter& filter);

  const nlohmann::json& document() const { return document_; }
  // Compact JSON; false when the stream failed.
  bool write(std::ostream& out) const;

 private:
  nlohmann::json document_;
};

}  // namespace Quorvel
