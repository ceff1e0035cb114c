#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "base/QVException.h"
#include "ranges/QVNodePool.h"
#include "ranges/QVValueText.h"

namespace Quorvel {

// A red-black tree of (key, value) nodes ordered by key.location alone; a
// node whose location equals another's goes to the right, so equal
// locations keep their insertion order in an in-order walk. K is a
// QVRange<...>. Duplicates and overlaps are the caller's business.
//
// Nodes live in a pool owned by the tree. Subclasses that need larger nodes
// (augmented data) override makeNode/destroyNode/destroyAllNodes to use
// their own pool, and Node::update() to maintain what they add: insertNode
// and deleteNode call update() on every node whose subtree changed,
// bottom-up, so an override sees up-to-date children.
//
// With setVerify(true), every insertNode and deleteNode ends with verify(),
// which throws QVException on a broken invariant. Not thread-safe.
template <class K, class V>
class QVRedBlackTree {
 public:
  static constexpr int32_t kBlack = 0;
  static constexpr int32_t kRed = 1;

  class Node {
   public:
    Node(const K& key_, const V& value_) : key(key_), value(value_) {}
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    virtual ~Node() = default;

    // "key:[0x<start>, 0x<end>) color:red|black".
    virtual void getDescription(std::ostream& os) const {
      os << "key:";
      key.getDescription(os);
      os << " color:" << (color == kRed ? "red" : "black");
    }
    // Key and value only: the node keeps its place and colour in the tree.
    virtual void copyFrom(const Node* other) {
      key = other->key;
      value = other->value;
    }
    // Recomputes augmented data from the children; true when it changed.
    virtual bool update() { return false; }
    // Post-order: both subtrees, then this node.
    virtual void recursiveUpdate() {
      if (left != nullptr) {
        left->recursiveUpdate();
      }
      if (right != nullptr) {
        right->recursiveUpdate();
      }
      update();
    }

    K key;
    V value;
    Node* left = nullptr;
    Node* right = nullptr;
    Node* parent = nullptr;
    int32_t color = kRed;
  };

  QVRedBlackTree() = default;
  QVRedBlackTree(const QVRedBlackTree&) = delete;
  QVRedBlackTree& operator=(const QVRedBlackTree&) = delete;
  // Destroys the nodes made by this class's makeNode. A subclass with its
  // own pool empties the tree in its own destructor, before this one runs.
  virtual ~QVRedBlackTree() {
    destroySubtree(root_, [this](Node* node) { pool_.destroy(node); });
  }

  virtual Node* insert(const K& key, const V& value) {
    Node* node = makeNode(key, value);
    insertNode(node);
    return node;
  }

  // Unlinks z and destroys one node. When z has two children its in-order
  // successor is the node spliced out and destroyed, its key and value moved
  // into z: a pointer to that successor is invalid afterwards.
  virtual void deleteNode(Node* z);

  virtual void clear() { destroyAllNodes(); }

  // Draws the tree, one node a line, indented two spaces per level, left
  // subtree before right; an absent child is a lone "-".
  virtual void getDescription(std::ostream& os) const { describeSubtree(os, root_, 0); }

  virtual Node* makeNode(const K& key, const V& value) { return pool_.construct(key, value); }
  virtual void destroyNode(Node* node) { pool_.destroy(node); }
  // Destroys every node and starts a fresh pool whose first block holds 32.
  virtual void destroyAllNodes() {
    destroySubtree(root_, [this](Node* node) { pool_.destroy(node); });
    pool_.reset(kBlockAfterClear);
    root_ = nullptr;
    size_ = 0;
  }

  // Checks colours and black heights from the root; returns the black height
  // (a null child counts 1). Throws QVException "logic_error: Verify failed
  // (1)" for a colour other than red or black, "(2)"/"(3)" for a red node
  // with a red left/right child, "(4)" for unequal black heights.
  virtual int verify() const { return verifySubtree(root_); }

  // Links a node made by makeNode into the tree and rebalances.
  virtual void insertNode(Node* node);

  Node* root() const { return root_; }
  uint32_t size() const { return size_; }
  bool isEmpty() const { return root_ == nullptr; }
  void setVerify(bool on) { verify_ = on; }
  bool verifyEnabled() const { return verify_; }

  static Node* Leftmost(Node* node) {
    if (node != nullptr) {
      while (node->left != nullptr) {
        node = node->left;
      }
    }
    return node;
  }
  static Node* Rightmost(Node* node) {
    if (node != nullptr) {
      while (node->right != nullptr) {
        node = node->right;
      }
    }
    return node;
  }
  static Node* Successor(Node* node) {
    if (node->right != nullptr) {
      return Leftmost(node->right);
    }
    Node* up = node->parent;
    while (up != nullptr && node == up->right) {
      node = up;
      up = up->parent;
    }
    return up;
  }
  static Node* Predecessor(Node* node) {
    if (node->left != nullptr) {
      return Rightmost(node->left);
    }
    Node* up = node->parent;
    while (up != nullptr && node == up->left) {
      node = up;
      up = up->parent;
    }
    return up;
  }

  Node* first() const { return Leftmost(root_); }
  Node* last() const { return Rightmost(root_); }

  // Visits every node in key order. The visitor may change keys and values
  // as long as the order stays (the tree is not re-sorted).
  template <class F>
  void forEachInOrder(F&& visit) const {
    for (Node* node = first(); node != nullptr; node = Successor(node)) {
      visit(node);
    }
  }

 protected:
  static constexpr size_t kBlockAfterClear = 32;

  // Post-order, so that each node is destroyed after its children were read.
  template <class Destroy>
  static void destroySubtree(Node* node, const Destroy& destroy) {
    while (node != nullptr) {
      destroySubtree(node->left, destroy);
      Node* right = node->right;
      destroy(node);
      node = right;
    }
  }

  void describeSubtree(std::ostream& os, const Node* node, int depth) const {
    os << std::string(2 * static_cast<size_t>(depth), ' ') << "-";
    if (node == nullptr) {
      os << "\n";
      return;
    }
    os << " ";
    node->getDescription(os);
    os << "\n";
    describeSubtree(os, node->left, depth + 1);
    describeSubtree(os, node->right, depth + 1);
  }

  static bool isRed(const Node* node) { return node != nullptr && node->color == kRed; }

  Node* root_ = nullptr;
  uint32_t size_ = 0;
  bool verify_ = false;

 private:
  void rotateLeft(Node* x);
  void rotateRight(Node* x);
  void replaceChild(Node* parent, Node* oldChild, Node* newChild);
  void insertFixup(Node* z);
  void deleteFixup(Node* x, Node* xParent, bool xIsLeft);
  int verifySubtree(const Node* node) const;

  QVNodePool<Node> pool_;
};

template <class K, class V>
void QVRedBlackTree<K, V>::replaceChild(Node* parent, Node* oldChild, Node* newChild) {
  if (parent == nullptr) {
    root_ = newChild;
  } else if (parent->left == oldChild) {
    parent->left = newChild;
  } else {
    parent->right = newChild;
  }
  if (newChild != nullptr) {
    newChild->parent = parent;
  }
}

// The node moving down is updated first because the node moving up takes it
// as a child.
template <class K, class V>
void QVRedBlackTree<K, V>::rotateLeft(Node* x) {
  Node* y = x->right;
  x->right = y->left;
  if (y->left != nullptr) {
    y->left->parent = x;
  }
  replaceChild(x->parent, x, y);
  y->left = x;
  x->parent = y;
  x->update();
  y->update();
}

template <class K, class V>
void QVRedBlackTree<K, V>::rotateRight(Node* x) {
  Node* y = x->left;
  x->left = y->right;
  if (y->right != nullptr) {
    y->right->parent = x;
  }
  replaceChild(x->parent, x, y);
  y->right = x;
  x->parent = y;
  x->update();
  y->update();
}

template <class K, class V>
void QVRedBlackTree<K, V>::insertNode(Node* z) {
  Node* parent = nullptr;
  for (Node* walk = root_; walk != nullptr;) {
    parent = walk;
    walk = z->key.location < walk->key.location ? walk->left : walk->right;
  }
  z->parent = parent;
  z->left = nullptr;
  z->right = nullptr;
  z->color = kRed;
  if (parent == nullptr) {
    root_ = z;
  } else if (z->key.location < parent->key.location) {
    parent->left = z;
  } else {
    parent->right = z;
  }
  ++size_;
  z->update();
  // The new node widens every ancestor's subtree, not only the ones the
  // fix-up touches; once an ancestor reports no change the rest cannot change.
  for (Node* up = parent; up != nullptr && up->update(); up = up->parent) {
  }
  insertFixup(z);
  if (verify_) {
    verify();
  }
}

template <class K, class V>
void QVRedBlackTree<K, V>::insertFixup(Node* z) {
  while (isRed(z->parent)) {
    Node* parent = z->parent;
    Node* grand = parent->parent;
    if (grand == nullptr) {
      break;  // a red root: only a corrupted tree gets here; the root is blackened below
    }
    if (parent == grand->left) {
      Node* uncle = grand->right;
      if (isRed(uncle)) {
        parent->color = kBlack;
        uncle->color = kBlack;
        grand->color = kRed;
        parent->update();
        grand->update();
        z = grand;
      } else {
        if (z == parent->right) {
          z = parent;
          rotateLeft(z);
          parent = z->parent;
        }
        parent->color = kBlack;
        grand->color = kRed;
        rotateRight(grand);
      }
    } else {
      Node* uncle = grand->left;
      if (isRed(uncle)) {
        parent->color = kBlack;
        uncle->color = kBlack;
        grand->color = kRed;
        parent->update();
        grand->update();
        z = grand;
      } else {
        if (z == parent->left) {
          z = parent;
          rotateRight(z);
          parent = z->parent;
        }
        parent->color = kBlack;
        grand->color = kRed;
        rotateLeft(grand);
      }
    }
  }
  root_->color = kBlack;
}

template <class K, class V>
void QVRedBlackTree<K, V>::deleteNode(Node* z) {
  Node* y = (z->left != nullptr && z->right != nullptr) ? Leftmost(z->right) : z;
  Node* x = y->left != nullptr ? y->left : y->right;
  Node* yParent = y->parent;
  const bool yWasLeft = yParent != nullptr && yParent->left == y;
  const bool removedBlack = y->color == kBlack;
  replaceChild(yParent, y, x);
  if (y != z) {
    z->copyFrom(y);
  }
  if (removedBlack) {
    deleteFixup(x, yParent, yWasLeft);
  }
  // Rotations in the fix-up keep every node of the old path on the path up
  // from yParent, so this walk reaches all subtrees that lost y (and z, whose
  // key changed) after their children are right.
  for (Node* up = yParent; up != nullptr; up = up->parent) {
    up->update();
  }
  --size_;
  destroyNode(y);
  if (verify_) {
    verify();
  }
}

template <class K, class V>
void QVRedBlackTree<K, V>::deleteFixup(Node* x, Node* xParent, bool xIsLeft) {
  while (x != root_ && !isRed(x)) {
    // A null x cannot be told apart from a null sibling by comparing
    // pointers, so its side comes from where the spliced node was.
    if (x != nullptr ? x == xParent->left : xIsLeft) {
      Node* w = xParent->right;
      if (w == nullptr) {
        throw QVException("x's sibling should not be null", 695, "QVRedBlackTree");
      }
      if (isRed(w)) {
        w->color = kBlack;
        xParent->color = kRed;
        rotateLeft(xParent);
        w = xParent->right;
      }
      if (!isRed(w->left) && !isRed(w->right)) {
        w->color = kRed;
        x = xParent;
        xParent = x->parent;
      } else {
        if (!isRed(w->right)) {
          w->left->color = kBlack;
          w->color = kRed;
          rotateRight(w);
          w = xParent->right;
        }
        w->color = xParent->color;
        xParent->color = kBlack;
        w->right->color = kBlack;
        rotateLeft(xParent);
        x = root_;
        xParent = nullptr;
      }
    } else {
      Node* w = xParent->left;
      if (w == nullptr) {
        throw QVException("x's sibling should not be null", 729, "QVRedBlackTree");
      }
      if (isRed(w)) {
        w->color = kBlack;
        xParent->color = kRed;
        rotateRight(xParent);
        w = xParent->left;
      }
      if (!isRed(w->left) && !isRed(w->right)) {
        w->color = kRed;
        x = xParent;
        xParent = x->parent;
      } else {
        if (!isRed(w->left)) {
          w->right->color = kBlack;
          w->color = kRed;
          rotateLeft(w);
          w = xParent->left;
        }
        w->color = xParent->color;
        xParent->color = kBlack;
        w->left->color = kBlack;
        rotateRight(xParent);
        x = root_;
        xParent = nullptr;
      }
    }
  }
  if (x != nullptr) {
    x->color = kBlack;
  }
}

template <class K, class V>
int QVRedBlackTree<K, V>::verifySubtree(const Node* node) const {
  if (node == nullptr) {
    return 1;
  }
  if (node->color != kBlack && node->color != kRed) {
    throw QVException("logic_error: Verify failed (1)", 798, "QVRedBlackTree");
  }
  if (node->color == kRed) {
    if (isRed(node->left)) {
      throw QVException("logic_error: Verify failed (2)", 807, "QVRedBlackTree");
    }
    if (isRed(node->right)) {
      throw QVException("logic_error: Verify failed (3)", 812, "QVRedBlackTree");
    }
  }
  const int leftHeight = verifySubtree(node->left);
  const int rightHeight = verifySubtree(node->right);
  if (leftHeight != rightHeight) {
    throw QVException("logic_error: Verify failed (4)", 821, "QVRedBlackTree");
  }
  return leftHeight + (node->color == kBlack ? 1 : 0);
}

}  // namespace Quorvel
