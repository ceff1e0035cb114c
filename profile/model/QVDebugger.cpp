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
  std::unordered_set<QVThreadId> threadIds;
  QVThread::getThreadIdsForProcess(threadIds, processId_, true, true, false);
  for (const QVThreadId& threadId : threadIds) {
    std::shared_ptr<QVAbstractCallStack> stack;
    if (getThreadCallStack(threadId, stack, maxDepth) && stack) {
      out[threadId] = stack;
    } else {
      QV_WARNING("failed to get callstack for running thread " << threadId);
    }
  }
  return !out.empty();
}

}  // namespace Quorvel
