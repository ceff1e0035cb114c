#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quorvel {

class QVAbstractCallStackTenure;
class QVContext;

// Which samples of a session a report or an export looks at: one process,
// one thread, or all of them, and optionally only those taken while their
// thread was in given scheduler states. Ids are native (pid, tid); -1 keeps
// all.
struct QVSampleFilter {
  int64_t processId = -1;
  int64_t threadId = -1;
  // Scheduler state letters to keep (see
  // QVAbstractCallStackTenure::schedulerStateName); empty keeps all.
  std::string states;

  // Whether something that happened in this context passes (states apply
  // only to samples).
  bool accepts(const QVContext& context) const;
  bool accepts(const QVAbstractCallStackTenure& sample) const;
  // " --process P --thread T --state S" for the filters that are set, ""
  // for none: the tail of a message saying that nothing matched.
  std::string description() const;
};

// The samples that pass a filter, in recorded order, with the number of
// threads and processes they come from. Null samples are dropped.
class QVSampleSelection {
 public:
  using TenureList = std::vector<std::shared_ptr<QVAbstractCallStackTenure>>;

  QVSampleSelection(const TenureList& samples, const QVSampleFilter& filter);

  const TenureList& samples() const { return samples_; }
  bool empty() const { return samples_.empty(); }
  size_t threadCount() const { return threadCount_; }
  size_t processCount() const { return processCount_; }

 private:
  TenureList samples_;
  size_t threadCount_ = 0;
  size_t processCount_ = 0;
};

}  // namespace Quorvel
