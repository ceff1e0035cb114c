#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "calltree/QVCallTreeNode.h"
#include "calltree/QVCallTreeRootNode.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"

namespace Quorvel {

class QVAbstractCallFrame;
class QVAbstractCallStackTenure;
class QVSymbolSource;
class QVCallFrameTree;

// A weighted tree of call frames aggregated from recorded call-stack
// samples: one subtree per thread, grouped under the thread's process and
// the process's system, all under one top root. Every non-empty sample
// weighs 1.0, whatever its duration, unless a weight function says
// otherwise (the CPU time a sample stands for, say); samples it weighs at
// zero or less are left out.
//
// Built once by the constructor and then only read. Samples of one thread
// that name the same frame of a shared frame tree (sharedFrameTree) have the
// very same frames, so each such stack is walked once,
// weighted by its number of samples, with the same result as walking the
// samples one by one; merge keys are remembered per frame descriptor and
// per (symbol source, address), so each address is resolved once.
//
// Stacks are walked by position, as getFrames orders them. For a stack in
// which one address recurs this is the true call path; chaining callee()
// of the shared-frame samples would instead return to the first
// occurrence of the address and skip the frames in between. Not thread-safe: the
// first read of a process, system or top root merges its subtrees in (see
// QVCallTreeRootNode), so one thread at a time may browse a tree.
//
// The tree keeps the samples it was built from, because nodes refer to
// their frames (shared-frame samples keep their frame trees alive).
// Frames resolve through their samples' symbol sources, which the process
// registries own.
class QVCallTree {
 public:
  // "tree": top-down from the outermost caller; "leaf": bottom-up from the
  // sampled frame.
  enum Topology : int { tree = 0, leaf = 1 };
  // What frames are merged by.
  enum Granularity : int { address = 0, symbol = 1, module = 2, file = 3, line = 4 };

  using TenureList = std::vector<std::shared_ptr<QVAbstractCallStackTenure>>;
  using NodePtr = QVCallTreeNode::NodePtr;
  using RootPtr = QVCallTreeRootNode::RootPtr;
  using SortPredicate = QVCallTreeNode::SortPredicate;

  using WeightFunction = std::function<double(const QVAbstractCallStackTenure&)>;

  // Null entries in `tenures` are skipped. An empty `weight` weighs every
  // sample 1.0.
  QVCallTree(const TenureList& tenures, Topology topology, Granularity granularity,
             const WeightFunction& weight = WeightFunction());
  ~QVCallTree();
  QVCallTree(const QVCallTree&) = delete;
  QVCallTree& operator=(const QVCallTree&) = delete;

  Topology topology() const { return topology_; }
  Granularity granularity() const { return granularity_; }

  const RootPtr& rootNode() const { return rootNode_; }
  // Empty pointers for ids without samples.
  RootPtr rootNodeForThreadId(const QVThreadId& threadId) const;
  RootPtr rootNodeForProcessId(const QVProcessId& processId) const;
  RootPtr rootNodeForSystemId(const QVSystemId& systemId) const;

  // Ids with samples in the tree; each fills `out` (which is cleared).
  void getThreadIds(std::unordered_set<QVThreadId>& out) const;
  void getThreadIdsForProcessId(const QVProcessId& processId, std::unordered_set<QVThreadId>& out) const;
  void getProcessIds(std::unordered_set<QVProcessId>& out) const;
  void getProcessIdsForSystemId(const QVSystemId& systemId, std::unordered_set<QVProcessId>& out) const;
  void getSystemIds(std::unordered_set<QVSystemId>& out) const;

  // The roots of those ids that the tree has, in id order, then sorted as
  // QVCallTreeNode::sortCallTreeNodes does; `out` is replaced.
  void getSortedRootNodesForThreadIds(std::vector<RootPtr>& out, const std::unordered_set<QVThreadId>& ids,
                                      const SortPredicate& predicate, bool reverse) const;
  void getSortedRootNodesForProcessIds(std::vector<RootPtr>& out, const std::unordered_set<QVProcessId>& ids,
                                       const SortPredicate& predicate, bool reverse) const;
  void getSortedRootNodesForSystemIds(std::vector<RootPtr>& out, const std::unordered_set<QVSystemId>& ids,
                                      const SortPredicate& predicate, bool reverse) const;

  // The frame's merge key at this tree's granularity; frames with equal
  // keys under one parent share a node. Resolution goes through the frame's
  // own symbol source.
  //   address: the address.
  //   symbol, module: the symbol's or module's identifier.
  //   file: the identifier of the source file of the frame's line
  //     information, as registered (QVSourceFile::sourceFileWithId).
  //   line: the file's key shifted left by 16 bits, OR the line number
  //     (lines wrap at 65536).
  // When the thing asked for is unknown, frames do not all merge into one
  // "unknown" node, which would hide where the time went:
  //   symbol, module: the key stands for the address.
  //   file: the symbol's key when the symbol is known, else the address's.
  //   line: as file, with the symbol standing in for a file without lines
  //     (so such frames group by function).
  // Keys standing for an address have the top bit set and keep the low 48
  // bits of the address, which tells canonical x86-64 addresses apart;
  // identifiers are keyed by their interned records, whose user-space
  // addresses never set the top bit, so the two kinds never collide.
  // Other granularities log a WARNING and give key 0.
  uint64_t uniqueCallFrame(const QVAbstractCallFrame& frame) const;

  // A "=" underlined title, then every thread's root (in thread id order)
  // as QVCallTreeRootNode::getDescription writes it.
  void getDescription(std::ostream& os) const;
  // The same for every system and every process of it, in id order, under
  // the title "Systems and Processes".
  void getSummaryDescription(std::ostream& os) const;

  // Streams as getSummaryDescription: `os << tree.summary()`.
  class Summary {
   public:
    explicit Summary(const QVCallTree& tree) : tree_(tree) {}
    const QVCallTree& tree() const { return tree_; }

   private:
    const QVCallTree& tree_;
  };
  Summary summary() const { return Summary(*this); }

  // "tree", "leaf"; "unknown" for anything else.
  static const char* topologyToString(int topology);
  // "address", "symbol", "module", "file", "line"; "unknown" otherwise.
  static const char* granularityToString(int granularity);
  // The value of one of the words above; -1 for any other text.
  static Topology topologyFromString(const std::string& text);
  static Granularity granularityFromString(const std::string& text);

 private:
  friend class QVCallTreeNode;
  friend class QVCallTreeRootNode;

  void _addSamples();
  RootPtr _threadRootNode(const QVThreadId& threadId);
  // A new node below the roots, kept until the tree and every pointer to
  // one of its nodes are gone.
  QVCallTreeNode* _newNode();
  NodePtr _share(QVCallTreeNode* node) const { return NodePtr(nodes_, node); }
  // The merge key of a frame of a sample resolved through `source`,
  // remembered per source and address: samples repeat the same few
  // thousand addresses millions of times, and resolving an address walks
  // the process's section and symbol maps.
  uint64_t _cachedKey(const QVSymbolSource* source, const QVAbstractCallFrame& frame);
  // The frames of a sample with their merge keys, in position order. For
  // shared-frame samples the keys are also remembered per frame
  // descriptor, which spares the address lookup for every frame that an
  // earlier sample already walked through.
  void _sampleFrames(const QVAbstractCallStackTenure& tenure, std::vector<const QVAbstractCallFrame*>& frames,
                     std::vector<uint64_t>& keys);
  void _sharedFrames(const QVCallFrameTree& tree, int leafDescriptor,
                     std::vector<const QVAbstractCallFrame*>& frames, std::vector<uint64_t>& keys);
  // The label of a node's frame at this granularity.
  void _describeFrame(std::ostream& os, const QVAbstractCallFrame* frame) const;

  using KeyCache = std::unordered_map<uint64_t, uint64_t>;

  Topology topology_;
  Granularity granularity_;
  TenureList tenures_;
  WeightFunction weight_;
  // Every node below the roots, in one block-allocated store: a tree of a
  // million samples has millions of nodes, which one allocation each would
  // make slow to build and slow to free. Handed-out NodePtrs share it.
  std::shared_ptr<std::deque<QVCallTreeNode>> nodes_;
  RootPtr rootNode_;
  std::unordered_map<QVThreadId, RootPtr> threadRootNodes_;
  std::unordered_map<QVProcessId, RootPtr> processRootNodes_;
  std::unordered_map<QVSystemId, RootPtr> systemRootNodes_;

  std::unordered_map<const QVSymbolSource*, KeyCache> keyCaches_;
  // Per frame archiver, the key of each descriptor (0 until known; no key
  // of a resolving granularity is 0).
  std::unordered_map<const void*, std::vector<uint64_t>> descriptorKeys_;
  // Consecutive samples mostly share their source.
  const QVSymbolSource* lastSource_ = nullptr;
  KeyCache* lastCache_ = nullptr;
  // Reused by every sample, to spare two allocations per sample.
  std::vector<const QVAbstractCallFrame*> scratchFrames_;
  std::vector<uint64_t> scratchKeys_;
};

std::ostream& operator<<(std::ostream& os, const QVCallTree& tree);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallTree>& tree);
std::ostream& operator<<(std::ostream& os, const QVCallTree::Summary& summary);

}  // namespace Quorvel
