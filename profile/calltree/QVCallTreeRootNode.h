#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <set>
#include <vector>

#include "calltree/QVCallTreeNode.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"

namespace Quorvel {

// The root of a thread's, a process's or a system's subtree, or the top
// root of the whole tree (which stands for no id).
//
// Samples are added to thread roots only. A process root holds its
// threads' roots as pending subsets, a system root its processes', the top
// root its systems'. Their children are merged in the first time anybody
// asks for children (numberOfChildren, getChildren, getSortedChildren,
// getDescription); until then the weights are computed from the subsets,
// so sorting roots by weight never forces a merge.
//
// A root's total weight counts the (non-empty) samples below it; its self
// weight is 0, as no sample ends at a root.
class QVCallTreeRootNode : public QVCallTreeNode {
 public:
  using RootPtr = std::shared_ptr<QVCallTreeRootNode>;

  // The top root.
  explicit QVCallTreeRootNode(QVCallTree& tree);
  QVCallTreeRootNode(QVCallTree& tree, const QVThreadId& threadId);
  QVCallTreeRootNode(QVCallTree& tree, const QVProcessId& processId);
  QVCallTreeRootNode(QVCallTree& tree, const QVSystemId& systemId);
  ~QVCallTreeRootNode() override;

  void getChildren(std::vector<NodePtr>& children) const override;
  void getSortedChildren(std::vector<NodePtr>& children, const SortPredicate& predicate,
                         bool reverse) const override;
  size_t numberOfChildren() const override;
  bool hasChildren() const override;
  double selfWeight() const override;
  double totalWeight() const override;
  // A "-" underlined title naming the root (process name, " - Thread [",
  // thread id, "]" for a thread), "<count> samples - <topology> view", the
  // "Total" | "Self" | column header and the nodes, heaviest first.
  void getDescription(std::ostream& os) const override;

  // Invalid ids for the ones the root does not stand for.
  const QVThreadId& threadId() const { return threadId_; }
  const QVProcessId& processId() const { return processId_; }
  const QVSystemId& systemId() const { return systemId_; }

  // Adds one sample: its starting frame (the sampled one for "leaf", the
  // outermost for "tree") becomes a child of this root and the walk goes on
  // from there. An empty stack adds nothing.
  void addCallStack(const QVAbstractCallStackTenure& tenure);
  // Queues a root whose children are to be merged into this one. Adding
  // the same root again changes nothing.
  void addSubsetNode(const RootPtr& subset);
  size_t numberOfPendingSubsets() const { return subsetNodes_.size(); }

  // As QVCallTreeNode::sortCallTreeNodes.
  static void sortCallTreeRootNodes(std::vector<RootPtr>& nodes, const SortPredicate& predicate, bool reverse);

 private:
  // Merging a root into another folds the first one's subsets in first;
  // the tree adds grouped samples.
  friend class QVCallTreeNode;
  friend class QVCallTree;

  // Subsets merge in id order, so which frame becomes a merged node's
  // template does not depend on where the nodes happen to be allocated.
  struct SubsetOrder {
    bool operator()(const RootPtr& a, const RootPtr& b) const;
  };

  // Folds every pending subset into this node, then forgets them. Reading
  // a tree is logically const; the merge only fills in what the subsets
  // already imply.
  void _mergeSubNodes() const;
  // Adds `weight` samples of the stack of `frames` (position 0 sampled).
  void _addFrames(const std::vector<const QVAbstractCallFrame*>& frames, const std::vector<uint64_t>& keys,
                  double weight);
  void _describeTitle(std::ostream& os) const;

  QVThreadId threadId_;
  QVProcessId processId_;
  QVSystemId systemId_;
  mutable std::set<RootPtr, SubsetOrder> subsetNodes_;
};

std::ostream& operator<<(std::ostream& os, const QVCallTreeRootNode& node);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallTreeRootNode>& node);

}  // namespace Quorvel
