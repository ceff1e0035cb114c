#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/QVException.h"
#include "ranges/QVIntervalTree.h"
#include "ranges/QVRedBlackTree.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using Tree = QVIntervalTree<int, int>;
using Node = Tree::Node;
using IntervalNode = Tree::IntervalNode;
using Range = QVRange<int>;

// 1..15 inserted in order: a tree with black and red nodes on several levels.
void Fill(Tree& tree, int count) {
  for (int i = 1; i <= count; ++i) {
    tree.insert(Range(i * 10, 5), i);
  }
}

template <class Predicate>
Node* FindNode(Node* node, const Predicate& predicate) {
  if (node == nullptr) {
    return nullptr;
  }
  if (predicate(node)) {
    return node;
  }
  if (Node* found = FindNode(node->left, predicate)) {
    return found;
  }
  return FindNode(node->right, predicate);
}

bool IsRed(const Node* node) { return node != nullptr && node->color == Tree::kRed; }

// Each way a tree can be damaged behind its back, and what verify (or the
// operation that meets the damage) reports: message, source and line.
TEST(QVIntervalTreeVerify, DamageIsReportedWithItsCheck) {
  const struct {
    const char* what;
    int nodes;
    std::function<void(Tree&)> damage;
    std::function<void(Tree&)> operation;
    const char* expected;
  } cases[] = {
      {"bad colour", 15, [](Tree& t) { t.root()->left->color = 7; }, nullptr,
       "logic_error: Verify failed (1) @ QVRedBlackTree:798"},
      {"red node with red left child", 15,
       [](Tree& t) {
         Node* node = FindNode(t.root(), [](Node* n) { return n->left != nullptr && !IsRed(n); });
         node->color = Tree::kRed;
         node->left->color = Tree::kRed;
       },
       nullptr, "logic_error: Verify failed (2) @ QVRedBlackTree:807"},
      {"red node with red right child", 15,
       [](Tree& t) {
         Node* node = FindNode(t.root(), [](Node* n) { return n->right != nullptr && !IsRed(n->left) && !IsRed(n); });
         node->color = Tree::kRed;
         node->right->color = Tree::kRed;
       },
       nullptr, "logic_error: Verify failed (3) @ QVRedBlackTree:812"},
      // 3 nodes: a black root with two red leaves.
      {"unequal black heights", 3, [](Tree& t) { t.root()->left->color = Tree::kBlack; }, nullptr,
       "logic_error: Verify failed (4) @ QVRedBlackTree:821"},
      {"stale max", 15, [](Tree& t) { Tree::Cast(t.root()->left->right)->max += 1; }, nullptr,
       "logic_error: Node's max endpoint was not updated properly @ QVIntervalTree:558"},
      {"stale min", 15, [](Tree& t) { Tree::Cast(t.root())->min -= 1; }, nullptr,
       "logic_error: Node's min endpoint was not updated properly @ QVIntervalTree:561"},
      // A key changed without an update leaves every ancestor's span stale.
      {"key changed", 15, [](Tree& t) { t.last()->key.length += 100; }, nullptr,
       "logic_error: Node's max endpoint was not updated properly @ QVIntervalTree:558"},
      // With the switch on every change verifies; the damage lies away from
      // the insertion path, which the fix-up recolours.
      {"verifying insert", 7,
       [](Tree& t) {
         t.setVerify(true);
         t.root()->left->color = 3;
       },
       [](Tree& t) { t.insert(Range(1000, 1), 0); }, "logic_error: Verify failed (1) @ QVRedBlackTree:798"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Tree tree;
    Fill(tree, c.nodes);
    c.damage(tree);
    EXPECT_EQ(c.expected, test::ThrownQVException([&] { c.operation ? c.operation(tree) : void(tree.verify()); }));
  }
}

// A black node without a sibling cannot exist in a sound tree; deleting one
// must raise instead of dereferencing the missing sibling.
TEST(QVIntervalTreeVerify, MissingSiblingDuringDeleteFixup) {
  for (int other : {10, 30}) {
    Tree tree;
    tree.insert(Range(20, 1), 0);
    tree.insert(Range(other, 1), 0);
    Node* child = other < 20 ? tree.root()->left : tree.root()->right;
    child->color = Tree::kBlack;
    EXPECT_EQ(std::string("x's sibling should not be null @ QVRedBlackTree:") + (other < 20 ? "695" : "729"),
              test::ThrownQVException([&] { tree.deleteNode(child); }));
  }
}

// Searches on a tree with overlapping intervals (source-line tables use the
// tree this way) against plain scans that follow the documented search
// order without any pruning.
IntervalNode* ScanContaining(IntervalNode* node, int x) {
  if (node == nullptr || !(node->min <= x && x < node->max)) {
    return nullptr;
  }
  if (IntervalNode* found = ScanContaining(Tree::Cast(node->left), x)) {
    return found;
  }
  if (IntervalNode* found = ScanContaining(Tree::Cast(node->right), x)) {
    return found;
  }
  return node->key.contains(x) ? node : nullptr;
}

IntervalNode* ScanOverlapping(IntervalNode* node, const Range& r) {
  if (node == nullptr) {
    return nullptr;
  }
  if (IntervalNode* found = ScanOverlapping(Tree::Cast(node->left), r)) {
    return found;
  }
  if (IntervalNode* found = ScanOverlapping(Tree::Cast(node->right), r)) {
    return found;
  }
  return node->key.overlaps(r) ? node : nullptr;
}

// Pre-order over the whole subtree: strictly closer replaces, containing ends.
bool ScanNearest(IntervalNode* node, int x, IntervalNode*& best, long& bestDistance) {
  if (node == nullptr) {
    return false;
  }
  if (node->key.contains(x)) {
    best = node;
    return true;
  }
  const long distance = x < node->key.location ? static_cast<long>(node->key.location) - x
                                               : static_cast<long>(x) - node->key.end();
  if (best == nullptr || distance < bestDistance) {
    best = node;
    bestDistance = distance;
  }
  return ScanNearest(Tree::Cast(node->left), x, best, bestDistance) ||
         ScanNearest(Tree::Cast(node->right), x, best, bestDistance);
}

IntervalNode* ReferenceNearest(const Tree& tree, int x) {
  IntervalNode* node = tree.Root();
  if (node == nullptr) {
    return nullptr;
  }
  if (x < node->min) {
    return Tree::Cast(tree.first());
  }
  if (x >= node->max) {
    return Tree::Cast(tree.last());
  }
  for (;;) {
    IntervalNode* left = Tree::Cast(node->left);
    IntervalNode* right = Tree::Cast(node->right);
    if (left != nullptr && left->min <= x && x < left->max) {
      node = left;
    } else if (right != nullptr && right->min <= x && x < right->max) {
      node = right;
    } else {
      break;
    }
  }
  if (node->key.contains(x)) {
    return node;
  }
  IntervalNode* best = nullptr;
  long bestDistance = 0;
  ScanNearest(node, x, best, bestDistance);
  return best;
}

TEST(QVIntervalTreeSearch, PrunedSearchesMatchFullScans) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    Tree tree;
    tree.setVerify(true);
    const int count = std::uniform_int_distribution<int>(1, 300)(rng);
    // Sparse rounds leave gaps (nearest searches), dense ones overlap
    // heavily, and grid rounds (length 4 every 10) put many probes exactly
    // halfway between two ranges, where the tie rule decides.
    const int mode = round % 3;
    const int spread = mode == 0 ? 20000 : 2000;
    for (int i = 0; i < count; ++i) {
      int location = std::uniform_int_distribution<int>(-spread, spread)(rng);
      int length = std::uniform_int_distribution<int>(0, 60)(rng);
      if (mode == 2) {
        location = location / 10 * 10;
        length = 4;
      }
      tree.insert(Range(location, length), i);
    }
    // Some deletions, so that spans are also maintained through the fix-ups.
    for (int i = 0; i < count / 3; ++i) {
      Node* victim = FindNode(tree.root(), [&](Node*) { return std::uniform_int_distribution<int>(0, 3)(rng) == 0; });
      if (victim != nullptr) {
        tree.deleteNode(victim);
      }
    }
    ASSERT_EQ(tree.size(), tree.liveNodeCount());
    for (int probe = 0; probe < 400; ++probe) {
      const int x = std::uniform_int_distribution<int>(-spread - 100, spread + 100)(rng);
      ASSERT_EQ(ScanContaining(tree.Root(), x), tree.findContaining(x)) << "round " << round << " x " << x;
      ASSERT_EQ(ReferenceNearest(tree, x), tree.findNearest(x)) << "round " << round << " x " << x;
      const Range r(x, std::uniform_int_distribution<int>(0, 80)(rng));
      ASSERT_EQ(ScanOverlapping(tree.Root(), r), tree.findOverlapping(r)) << "round " << round << " " << r;
      std::vector<IntervalNode*> visited;
      tree.forEachOverlapping(r, [&visited](IntervalNode* node) { visited.push_back(node); });
      std::vector<IntervalNode*> expected;
      tree.forEachInOrder([&](Node* node) {
        if (node->key.overlaps(r)) {
          expected.push_back(Tree::Cast(node));
        }
      });
      ASSERT_EQ(expected, visited) << "round " << round << " " << r;
    }
  }
}

TEST(QVIntervalTreeSearch, EqualLocationsKeepInsertionOrder) {
  Tree tree;
  for (int i = 0; i < 20; ++i) {
    tree.insert(Range(100, i + 1), i);
  }
  std::vector<int> order;
  tree.forEachInOrder([&order](Node* node) { order.push_back(node->value); });
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(i, order[static_cast<size_t>(i)]);
  }
}

// The plain tree has no augmented data: its nodes report no change.
TEST(QVIntervalTreeLifecycle, PlainTreeDeletesInOrder) {
  QVRedBlackTree<Range, int> tree;
  tree.setVerify(true);
  for (int i = 0; i < 64; ++i) {
    tree.insert(Range((i * 37) % 64, 1), i);  // 37 is coprime to 64: every location once, shuffled
  }
  EXPECT_FALSE(tree.root()->update());
  while (!tree.isEmpty()) {
    tree.deleteNode(tree.first());
    int previous = -1;
    tree.forEachInOrder([&previous](QVRedBlackTree<Range, int>::Node* node) {
      EXPECT_LT(previous, node->key.location);
      previous = node->key.location;
    });
  }
  EXPECT_EQ(0u, tree.size());
}

}  // namespace
}  // namespace Quorvel
