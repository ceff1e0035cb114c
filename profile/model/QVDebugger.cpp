#include "model/QVDebugger.h"

#include <unordered_set>

#include "base/QVLog.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"

namespace Quorvel {

QVDebugger::QVDebugger(QVProcess& process, bool debug)
    : process_(process), processId_(process.processId()), debug_(debug) {}

QVDebugger::~QVDebugger() = default;

bool QVDebugger::getProcessCallStacks(CallStackMap& out, unsigned long maxDepth) {
  out.clear();
  ThreadSampleMap samples;
  sampleThreads(samples, maxDepth, StopPredicate());
  for (auto& entry : samples) {
    out[entry.first] = std::move(entry.second.stack);
  }
  return !out.empty();
}

bool QVDebugger::sampleThreads(ThreadSampleMap& out, unsigned long maxDepth, const StopPredicate& stopRequested) {
  out.clear();
  std::unordered_set<QVThreadId> threadIds;
  QVThread::getThreadIdsForProcess(threadIds, processId_, true, true, false);
  for (const QVThreadId& threadId : threadIds) {
    if (stopRequested && stopRequested()) {
      break;
    }
    ThreadSample sample;
    if (getThreadCallStack(threadId, sample.stack, maxDepth) && sample.stack) {
      out[threadId] = std::move(sample);
    } else {
      QV_WARNING("failed to get callstack for running thread " << threadId);
    }
  }
  return !out.empty();
}

}  // namespace Quorvel
