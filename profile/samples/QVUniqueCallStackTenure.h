#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "archive/QVUnarchiver.h"
#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {

class QVUniqueCallFrameArchiver;

// A call-stack sample stored as the descriptor of its innermost frame in a
// per-thread frame tree: a context pointer, two ticks, the archiver and one
// descriptor, so a million samples fit in well under 100 MB. Every stack
// question walks parent descriptors from the leaf (position 0).
//
// The archiver is shared so that samples handed out (to a call tree, say)
// stay walkable after the sample archiver that made them is gone. A sample
// read from a file is attached to its archiver by the sample archiver that
// reads it; until then it has size 0.
//
// Archive keys, in order: the QVContextTenure keys, "FramesDesc" (the leaf
// descriptor, "%lld"), then, only when known, "SchedState" (the scheduler
// state letter as a one-character string) and "CpuTime" (nanoseconds of CPU
// since the thread's previous sample, "%lld"). Files without them read as
// unknown.
class QVUniqueCallStackTenure : public QVAbstractCallStackTenure {
 public:
  // leafFrameDescriptor -1 is the empty stack.
  QVUniqueCallStackTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick,
                          const std::shared_ptr<QVUniqueCallFrameArchiver>& archiver, int leafFrameDescriptor);
  ~QVUniqueCallStackTenure() override;

  // Identity: true only for the frame object at position 0.
  bool isLeaf(const QVAbstractCallFrame* frame) const override;
  const QVAbstractCallFrame* caller(const QVAbstractCallFrame* frame) const override;
  // The frame one position nearer the leaf than the first frame equal to
  // `frame` on the walk; null at the leaf or when it is not on the walk.
  const QVAbstractCallFrame* callee(const QVAbstractCallFrame* frame) const override;
  // Throws QVException: the source is the frame archiver's.
  void setSymbolSource(const QVSymbolSource* source) override;
  const QVSymbolSource* symbolSource() const override;
  int size() const override;
  // Null past the root.
  const QVAbstractCallFrame* frameAtIndex(int index) const override;
  void getFrames(std::vector<const QVAbstractCallFrame*>& frames) const override;
  void getFrames(std::vector<uint64_t>& addresses) const override;
  const QVCallFrameTree* sharedFrameTree(int& leafDescriptor) const override;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  char schedulerState() const override { return schedulerState_; }
  int64_t cpuTimeNanos() const override { return cpuTimeNanos_; }
  // '\0' and a negative time are unknown.
  void setScheduling(char state, int64_t cpuTimeNanos) {
    schedulerState_ = state;
    cpuTimeNanos_ = cpuTimeNanos < 0 ? -1 : cpuTimeNanos;
  }

  int leafFrameDescriptor() const { return leafFrameDescriptor_; }
  const std::shared_ptr<QVUniqueCallFrameArchiver>& frameArchiver() const { return frameArchiver_; }
  // Attaches a decoded sample to the tree its descriptor belongs to.
  void setFrameArchiver(const std::shared_ptr<QVUniqueCallFrameArchiver>& archiver) { frameArchiver_ = archiver; }

 private:
  std::shared_ptr<QVUniqueCallFrameArchiver> frameArchiver_;
  int32_t leafFrameDescriptor_;
  char schedulerState_ = '\0';
  int64_t cpuTimeNanos_ = -1;
};

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVUniqueCallStackTenure>& tenure);

// A sample being read starts empty and unattached.
template <>
struct QVUnarchiverFactory<QVUniqueCallStackTenure> {
  static std::shared_ptr<QVUniqueCallStackTenure> create() {
    return std::make_shared<QVUniqueCallStackTenure>(QVContext(), 0, 0, nullptr, -1);
  }
};

}  // namespace Quorvel
