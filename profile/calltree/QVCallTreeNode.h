#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ranges/QVRange.h"

namespace Quorvel {

class QVAbstractCallFrame;
class QVAbstractCallStackTenure;
class QVCallTree;
class QVModule;
class QVSection;
class QVSymbol;

// One merged frame of a call tree: every sample that passed through frames
// with the same merge key (see QVCallTree::uniqueCallFrame) at the same
// place in the tree. The node weighs the samples that passed through it
// (total) and those whose sampled frame it is (self).
//
// A node keeps the first frame that reached it as its template, for
// addresses, names and descriptions; the frame belongs to its sample, which
// the tree keeps alive. A node's memory stays valid while any NodePtr to it
// is held, but it answers questions through its tree, so use nodes only
// while their tree lives. Nodes are not locked (see QVCallTree).
class QVCallTreeNode {
 public:
  using NodePtr = std::shared_ptr<QVCallTreeNode>;

  // What to sort nodes by, ascending. Kinds outside 0..5 do not sort, but a
  // reverse still applies to them.
  struct SortPredicate {
    enum Kind : int {
      KindNone = 0,
      KindTotalWeight = 1,
      KindSelfWeight = 2,
      KindAddress = 3,
      KindSymbolName = 4,
      KindModuleName = 5,
    };
    explicit SortPredicate(int sortKind = KindNone) : kind(sortKind) {}
    int kind;
  };

  // Nodes below the roots are made by their tree, which keeps them all in
  // one store; the NodePtrs handed out share ownership of that store.
  explicit QVCallTreeNode(QVCallTree& tree);
  virtual ~QVCallTreeNode();
  QVCallTreeNode(const QVCallTreeNode&) = delete;
  QVCallTreeNode& operator=(const QVCallTreeNode&) = delete;

  // Children in the order they were first reached; `children` is replaced.
  virtual void getChildren(std::vector<NodePtr>& children) const;
  // Children sorted as sortCallTreeNodes does; `children` is replaced.
  virtual void getSortedChildren(std::vector<NodePtr>& children, const SortPredicate& predicate,
                                 bool reverse) const;
  virtual size_t numberOfChildren() const;
  virtual bool hasChildren() const;
  virtual double selfWeight() const;
  virtual double totalWeight() const;
  // This node's line and its subtree below it, heaviest first, indented by
  // depth (see QVCallTree::getDescription).
  virtual void getDescription(std::ostream& os) const;

  const QVCallTree& tree() const { return tree_; }
  // Null until a frame reached the node (root nodes never have one).
  const QVAbstractCallFrame* templateCallFrame() const { return templateFrame_; }
  // The template frame's address, 0 without one.
  uint64_t address() const;
  // The template frame's symbol and section, resolved through its sample's
  // symbol source; null (and an empty range) when unknown.
  const std::shared_ptr<QVSymbol>& symbol(QVRange<uint64_t>& range) const;
  const std::shared_ptr<QVSection>& section(QVRange<uint64_t>& range) const;
  // Names of what the template frame resolves to; empty when unknown. The
  // symbol name is the raw (mangled) one.
  std::string moduleName() const;
  std::string sectionName() const;
  std::string symbolName() const;

  // Counts one sample that starts at this node with `frame`, then walks the
  // sample away from the start frame as the tree's topology says (callers
  // for "leaf", callees for "tree") through the stack's own caller() and
  // callee(), adding each further frame to the child of its key.
  void addCallFrame(const QVAbstractCallStackTenure& tenure, const QVAbstractCallFrame* frame);

  // Folds another node's subtree into this one: weights add, children with
  // equal keys merge, children missing here are copied (never shared, so
  // later merges cannot change `other`). The template frame is kept, or
  // taken from `other` when this node has none.
  QVCallTreeNode& operator+=(const QVCallTreeNode& other);

  // A stable sort by the predicate's kind. Kind 0 leaves the vector as it
  // is, reverse or not. With `reverse` the order of a kind 1..5 is
  // descending, and nodes that compare equal keep their previous order (so
  // heaviest-first listings of equal weights stay in their given order);
  // other kinds just reverse the vector.
  static void sortCallTreeNodes(std::vector<NodePtr>& nodes, const SortPredicate& predicate, bool reverse);

 protected:
  friend class QVCallTree;
  friend class QVCallTreeRootNode;

  struct ChildEntry {
    uint64_t key;
    QVCallTreeNode* node;
  };

  // The child of the key, created on first use.
  QVCallTreeNode& _childForKey(uint64_t key);
  QVCallTreeNode* _findChild(uint64_t key) const;
  size_t _ownChildCount() const { return firstChild_.node != nullptr ? 1 + moreChildren_.size() : 0; }
  void _addChild(uint64_t key, QVCallTreeNode* child);
  // Adds `weight` samples of one stack, starting at this node with
  // frames[begin] and walking towards position 0 (the sampled frame) for
  // "tree" or away from it for "leaf"; keys[i] is the merge key of
  // frames[i]. Iterative, so very deep stacks cannot exhaust the machine
  // stack.
  void _addCallFrames(const std::vector<const QVAbstractCallFrame*>& frames, const std::vector<uint64_t>& keys,
                      size_t begin, double weight);
  // A copy of this node's own subtree, made by the same tree and sharing
  // nothing with the original but template frames.
  QVCallTreeNode* _deepCopy() const;
  // Calls `visit(key, child)` for each own child in creation order, without
  // merging whatever a root has pending.
  template <class Visit>
  void _forEachChild(Visit&& visit) const {
    if (firstChild_.node == nullptr) {
      return;
    }
    visit(firstChild_.key, firstChild_.node);
    for (const ChildEntry& entry : moreChildren_) {
      visit(entry.key, entry.node);
    }
  }
  // Writes the subtree below this node, heaviest first, one line a node,
  // starting at indentation depth `depth`.
  void _describeSubtree(std::ostream& os, int depth) const;

  // Sorting shared with root nodes, whose vectors hold the derived type.
  template <class Pointer>
  static void _sortNodes(std::vector<Pointer>& nodes, const SortPredicate& predicate, bool reverse);

  QVCallTree& tree_;
  // Children keyed by merge key. Most nodes of a call tree have one child
  // or none, so the first is kept in place and the others in a vector,
  // which is indexed by a hash map once it grows past a few entries; a hash
  // map per node would cost several allocations for every node of a tree
  // that has millions of them.
  ChildEntry firstChild_{0, nullptr};
  std::vector<ChildEntry> moreChildren_;
  std::unique_ptr<std::unordered_map<uint64_t, QVCallTreeNode*>> childIndex_;
  const QVAbstractCallFrame* templateFrame_ = nullptr;
  double selfWeight_ = 0.0;
  double totalWeight_ = 0.0;
};

std::ostream& operator<<(std::ostream& os, const QVCallTreeNode& node);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallTreeNode>& node);

}  // namespace Quorvel
