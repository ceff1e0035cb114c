#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "model/QVDebugger.h"

namespace Quorvel {
namespace test {

// A debugger that inspects nothing: it reports what the test tells it
// (whether the process and which threads run, which sections are mapped)
// and counts the questions asked. Safe to flip from a test thread while a
// timer thread asks.
class TestDebugger : public QVDebugger {
 public:
  explicit TestDebugger(QVProcess& process, bool running = true);

  void setProcessRunning(bool running) { processRunning_ = running; }
  void setThreadRunning(const QVThreadId& threadId, bool running);
  // What sectionMap() and sectionForCallFrame() answer from.
  SectionMap& mappedSections() { return mapped_; }
  int sectionQueries() const { return sectionQueries_; }
  int sectionMapQueries() const { return sectionMapQueries_; }
  int stackQueries() const { return stackQueries_; }

  bool suspendProcess() override { return false; }
  bool resumeProcess() override { return false; }
  bool terminateProcess() override { return false; }
  bool isProcessRunning() override { return processRunning_; }
  bool suspendThread(const QVThreadId&) override { return false; }
  bool resumeThread(const QVThreadId&) override { return false; }
  bool terminateThread(const QVThreadId&) override { return false; }
  bool isThreadRunning(const QVThreadId& threadId) override;
  bool readMemory(void*, unsigned long, unsigned long, const QVThreadId&) override { return false; }
  bool writeMemory(unsigned long, const void*, unsigned long, const QVThreadId&) override { return false; }
  const std::shared_ptr<QVSection>& sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                        QVRange<unsigned long>& range) override;
  unsigned long moduleStartAddress(const QVModuleId&) override { return 0; }
  // No stacks can be unwound from a process this debugger does not touch.
  bool getThreadCallStack(const QVThreadId&, std::shared_ptr<QVAbstractCallStack>&, unsigned long) override;
  const SectionMap& sectionMap(bool update) override;
  bool attach() override { return false; }
  bool detach() override { return true; }
  bool attachThread(const QVThreadId&) override { return false; }
  bool detachThread(const QVThreadId&) override { return true; }

 private:
  std::atomic<bool> processRunning_;
  std::mutex threadsLock_;
  std::unordered_set<QVThreadId> runningThreads_;
  SectionMap mapped_;
  std::atomic<int> sectionQueries_{0};
  std::atomic<int> sectionMapQueries_{0};
  std::atomic<int> stackQueries_{0};
};

}  // namespace test
}  // namespace Quorvel
