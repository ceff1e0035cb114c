#include "support/TestDebugger.h"

#include "samples/QVAbstractCallFrame.h"

namespace Quorvel {
namespace test {

TestDebugger::TestDebugger(QVProcess& process, bool running) : QVDebugger(process, false), processRunning_(running) {}

void TestDebugger::setThreadRunning(const QVThreadId& threadId, bool running) {
  std::lock_guard<std::mutex> lock(threadsLock_);
  if (running) {
    runningThreads_.insert(threadId);
  } else {
    runningThreads_.erase(threadId);
  }
}

bool TestDebugger::isThreadRunning(const QVThreadId& threadId) {
  std::lock_guard<std::mutex> lock(threadsLock_);
  return runningThreads_.count(threadId) != 0;
}

const std::shared_ptr<QVSection>& TestDebugger::sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                                    QVRange<unsigned long>& range) {
  ++sectionQueries_;
  return mapped_.valueAndRangeForLocation(frame.address(), range, true);
}

bool TestDebugger::getThreadCallStack(const QVThreadId&, std::shared_ptr<QVAbstractCallStack>&, unsigned long) {
  ++stackQueries_;
  return false;
}

const QVDebugger::SectionMap& TestDebugger::sectionMap(bool /*update*/) {
  ++sectionMapQueries_;
  return mapped_;
}

}  // namespace test
}  // namespace Quorvel
