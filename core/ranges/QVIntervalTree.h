#pragma once

#include <ostream>
#include <string>

#include "base/QVException.h"
#include "ranges/QVNodePool.h"
#include "ranges/QVRange.h"
#include "ranges/QVRedBlackTree.h"

namespace Quorvel {

// A red-black tree of ranges augmented with each subtree's span: `min`, the
// smallest location in the subtree, and `max`, the largest end. The span
// lets the searches below skip subtrees that cannot hold an answer, which
// keeps exact and overlap lookups logarithmic for disjoint ranges.
//
// The tree itself allows overlapping ranges (source-line tables use it that
// way); QVRangeMap keeps them disjoint on top of it. Lengths are expected to
// be non-negative. A range whose end wraps past the top of the key type
// breaks the span arithmetic and must not be stored.
template <class K, class V>
class QVIntervalTree : public QVRedBlackTree<QVRange<K>, V> {
 public:
  using Range = QVRange<K>;
  using Base = QVRedBlackTree<Range, V>;
  using Node = typename Base::Node;
  using Unsigned = typename Range::Unsigned;

  class IntervalNode : public Node {
   public:
    IntervalNode(const Range& key_, const V& value_) : Node(key_, value_), min(key_.location), max(key_.end()) {}

    // The plain node's text, then " min:0x<min> max:0x<max>".
    void getDescription(std::ostream& os) const override {
      Node::getDescription(os);
      os << " min:";
      WriteHex(os, min);
      os << " max:";
      WriteHex(os, max);
    }

    bool update() override {
      const K newMin = expectedMin();
      const K newMax = expectedMax();
      const bool changed = newMin != min || newMax != max;
      min = newMin;
      max = newMax;
      return changed;
    }

    K expectedMin() const { return this->left != nullptr ? Cast(this->left)->min : this->key.location; }
    K expectedMax() const {
      K result = this->key.end();
      if (this->left != nullptr && Cast(this->left)->max > result) {
        result = Cast(this->left)->max;
      }
      if (this->right != nullptr && Cast(this->right)->max > result) {
        result = Cast(this->right)->max;
      }
      return result;
    }
    // Whether x lies in the subtree's span [min, max).
    bool spanHolds(K x) const { return min <= x && x < max; }

    K min;
    K max;
  };

  QVIntervalTree() = default;
  // Our nodes come from our pool; the base destructor must find none left.
  ~QVIntervalTree() override {
    Base::destroySubtree(this->root_, [this](Node* node) { destroyNode(node); });
    this->root_ = nullptr;
  }

  // One line a node: indentation of two spaces per level, "-", then
  // " [0x<start>, 0x<end>) (red|black min:0x<min> max:0x<max>)"; an absent
  // child is a lone "-". Left subtree before right.
  void getDescription(std::ostream& os) const override { describe(os, Root(), 0); }

  Node* makeNode(const Range& key, const V& value) override { return pool_.construct(key, value); }
  void destroyNode(Node* node) override {
    node->~Node();
    pool_.release(node);
  }
  void destroyAllNodes() override {
    Base::destroySubtree(this->root_, [this](Node* node) { destroyNode(node); });
    pool_.reset(Base::kBlockAfterClear);
    this->root_ = nullptr;
    this->size_ = 0;
  }

  // The red-black checks, then every node's min and max against what
  // update() would compute: "logic_error: Node's max endpoint was not updated
  // properly" / "... min endpoint ..." (QVIntervalTree 558 / 561).
  int verify() const override {
    const int height = Base::verify();
    verifySpans(Root());
    return height;
  }

  // Nodes alive in this tree's pool; equals size() unless nodes leak.
  size_t liveNodeCount() const { return pool_.liveCount(); }

  IntervalNode* Root() const { return Cast(this->root_); }
  static IntervalNode* Cast(Node* node) { return static_cast<IntervalNode*>(node); }
  static const IntervalNode* Cast(const Node* node) { return static_cast<const IntervalNode*>(node); }

  // Some node whose range overlaps r, or null. Left subtree first, then the
  // right, then the node itself.
  IntervalNode* findOverlapping(const Range& r) const {
    if (r.length <= 0) {
      return nullptr;
    }
    return overlapping(Root(), r);
  }

  // The node whose range contains x, or null; with overlapping ranges, the
  // first found searching left subtree, right subtree, then the node.
  IntervalNode* findContaining(K x) const {
    IntervalNode* node = Root();
    return node != nullptr && node->spanHolds(x) ? containing(node, x) : nullptr;
  }

  // findContaining for a tree whose ranges do not overlap (a QVRangeMap's):
  // at most one range can contain x, so a plain descent by location finds
  // the same node while reading only the nodes on one root-to-leaf path,
  // not both children's spans at every level.
  IntervalNode* findContainingInDisjoint(K x) const {
    Node* node = this->root_;
    while (node != nullptr) {
      if (x < node->key.location) {
        node = node->left;
      } else if (node->key.contains(x)) {
        return Cast(node);
      } else {
        node = node->right;
      }
    }
    return nullptr;
  }

  // The range containing x, else the closest one; null only when empty.
  // Below every range: the first; at or past every end: the last. Otherwise
  // the search descends to the deepest node whose span holds x and takes the
  // closest range of that subtree (distance location - x before a range,
  // x - end after it), the earliest in pre-order among equally close ones.
  IntervalNode* findNearest(K x) const {
    IntervalNode* node = Root();
    if (node == nullptr) {
      return nullptr;
    }
    if (x < node->min) {
      return Cast(this->first());
    }
    if (x >= node->max) {
      return Cast(this->last());
    }
    for (;;) {
      IntervalNode* left = Cast(node->left);
      IntervalNode* right = Cast(node->right);
      if (left != nullptr && left->spanHolds(x)) {
        node = left;
      } else if (right != nullptr && right->spanHolds(x)) {
        node = right;
      } else {
        break;
      }
    }
    if (node->key.contains(x)) {
      return node;
    }
    NearestSearch search{x, nullptr, 0};
    search.scan(node);
    return search.best;
  }

  // Calls visit(IntervalNode*) for every node overlapping r, in key order.
  template <class F>
  void forEachOverlapping(const Range& r, F&& visit) const {
    if (r.length > 0) {
      overlappingInOrder(Root(), r, visit);
    }
  }

  // Shifts every location and every span by the offset; the order is
  // unchanged so nothing moves.
  void addOffset(K offset) {
    forEachNode(Root(), [offset](IntervalNode* node) {
      node->key.location = Range::Add(node->key.location, offset);
      node->min = Range::Add(node->min, offset);
      node->max = Range::Add(node->max, offset);
    });
  }
  void subtractOffset(K offset) {
    forEachNode(Root(), [offset](IntervalNode* node) {
      node->key.location = Range::Subtract(node->key.location, offset);
      node->min = Range::Subtract(node->min, offset);
      node->max = Range::Subtract(node->max, offset);
    });
  }

 private:
  static void WriteHex(std::ostream& os, K value) {
    std::ios_base::fmtflags flags = os.flags();
    os << "0x" << std::hex << static_cast<Unsigned>(value);
    os.flags(flags);
  }

  // The span of a subtree meets r: something in it may overlap r.
  static bool spanMeets(const IntervalNode* node, const Range& r) {
    return r.location < node->max && r.end() > node->min;
  }

  static IntervalNode* overlapping(IntervalNode* node, const Range& r) {
    if (node == nullptr || r.end() < node->min || r.location >= node->max) {
      return nullptr;
    }
    if (IntervalNode* found = overlapping(Cast(node->left), r)) {
      return found;
    }
    if (IntervalNode* found = overlapping(Cast(node->right), r)) {
      return found;
    }
    return node->key.overlaps(r) ? node : nullptr;
  }

  // Called only for a node whose span holds x.
  static IntervalNode* containing(IntervalNode* node, K x) {
    IntervalNode* left = Cast(node->left);
    if (left != nullptr && left->spanHolds(x)) {
      if (IntervalNode* found = containing(left, x)) {
        return found;
      }
    }
    // Everything to the right, and the node itself, starts at or after the
    // node's location, so neither can hold an x below it.
    if (x < node->key.location) {
      return nullptr;
    }
    IntervalNode* right = Cast(node->right);
    if (right != nullptr && right->spanHolds(x)) {
      if (IntervalNode* found = containing(right, x)) {
        return found;
      }
    }
    return node->key.contains(x) ? node : nullptr;
  }

  // Pre-order scan for the closest range. A subtree is skipped only when its
  // span proves that nothing in it contains x or is strictly closer than the
  // best so far: then it could not change the outcome of a full scan, and
  // for disjoint ranges the skipping leaves a walk of logarithmic length.
  struct NearestSearch {
    K x;
    IntervalNode* best;
    Unsigned bestDistance;

    // True when a range containing x ended the search.
    bool scan(IntervalNode* node) {
      if (node->key.contains(x)) {
        best = node;
        return true;
      }
      const Unsigned distance = x < node->key.location ? Range::Distance(x, node->key.location)
                                                       : Range::Distance(node->key.end(), x);
      if (best == nullptr || distance < bestDistance) {
        best = node;
        bestDistance = distance;
      }
      for (Node* child : {node->left, node->right}) {
        if (child != nullptr && mayImprove(Cast(child)) && scan(Cast(child))) {
          return true;
        }
      }
      return false;
    }

    bool mayImprove(const IntervalNode* subtree) const {
      if (x < subtree->min) {
        return Range::Distance(x, subtree->min) < bestDistance;
      }
      if (x >= subtree->max) {
        return Range::Distance(subtree->max, x) < bestDistance;
      }
      return true;
    }
  };

  template <class F>
  static void overlappingInOrder(IntervalNode* node, const Range& r, F& visit) {
    while (node != nullptr && spanMeets(node, r)) {
      overlappingInOrder(Cast(node->left), r, visit);
      if (node->key.overlaps(r)) {
        visit(node);
      }
      node = Cast(node->right);
    }
  }

  template <class F>
  static void forEachNode(IntervalNode* node, const F& visit) {
    while (node != nullptr) {
      forEachNode(Cast(node->left), visit);
      visit(node);
      node = Cast(node->right);
    }
  }

  static void verifySpans(const IntervalNode* node) {
    if (node == nullptr) {
      return;
    }
    verifySpans(Cast(node->left));
    verifySpans(Cast(node->right));
    if (node->max != node->expectedMax()) {
      throw QVException("logic_error: Node's max endpoint was not updated properly", 558, "QVIntervalTree");
    }
    if (node->min != node->expectedMin()) {
      throw QVException("logic_error: Node's min endpoint was not updated properly", 561, "QVIntervalTree");
    }
  }

  static void describe(std::ostream& os, const IntervalNode* node, int depth) {
    os << std::string(2 * static_cast<size_t>(depth), ' ') << "-";
    if (node == nullptr) {
      os << "\n";
      return;
    }
    os << " ";
    node->key.getDescription(os);
    os << " (" << (node->color == Base::kRed ? "red" : "black") << " min:";
    WriteHex(os, node->min);
    os << " max:";
    WriteHex(os, node->max);
    os << ")\n";
    describe(os, Cast(node->left), depth + 1);
    describe(os, Cast(node->right), depth + 1);
  }

  QVNodePool<IntervalNode> pool_;
};

extern template class QVIntervalTree<int, int>;

}  // namespace Quorvel
