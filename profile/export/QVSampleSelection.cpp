#include "export/QVSampleSelection.h"

#include <set>

#include "ids/QVContext.h"
#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {

std::string QVSampleFilter::description() const {
  std::string text;
  if (processId >= 0) text += " --process " + std::to_string(processId);
  if (threadId >= 0) text += " --thread " + std::to_string(threadId);
  for (size_t i = 0; i < states.size(); ++i) {
    text += (i == 0 ? " --state " : ",");
    text += QVAbstractCallStackTenure::schedulerStateName(states[i]);
  }
  return text;
}

bool QVSampleFilter::accepts(const QVContext& context) const {
  if (processId >= 0 && context.asProcessId().nativeIdentifier() != processId) return false;
  return threadId < 0 || context.threadId().nativeIdentifier() == threadId;
}

bool QVSampleFilter::accepts(const QVAbstractCallStackTenure& sample) const {
  if (!states.empty() && states.find(sample.schedulerState()) == std::string::npos) return false;
  return accepts(sample.context());
}

QVSampleSelection::QVSampleSelection(const TenureList& samples, const QVSampleFilter& filter) {
  std::set<int64_t> threads;
  std::set<int64_t> processes;
  for (const auto& sample : samples) {
    if (!sample) continue;
    const QVContext& context = sample->context();
    const int64_t pid = context.asProcessId().nativeIdentifier();
    const int64_t tid = context.threadId().nativeIdentifier();
    if (!filter.accepts(*sample)) continue;
    samples_.push_back(sample);
    threads.insert(tid);
    processes.insert(pid);
  }
  threadCount_ = threads.size();
  processCount_ = processes.size();
}

}  // namespace Quorvel
