#include "calltree/QVCallTreeNode.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <utility>

#include "calltree/QVCallTree.h"
#include "calltree/QVCallTreeRootNode.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"

namespace Quorvel {

namespace {

template <class T>
const std::shared_ptr<T>& EmptyPointer() {
  static const std::shared_ptr<T> empty;
  return empty;
}

// What a node is sorted by, computed once per node: names resolve the
// template frame through its process, which is far too slow to repeat for
// every comparison.
struct SortEntry {
  double weight = 0.0;
  uint64_t address = 0;
  std::string name;
};

SortEntry MakeSortEntry(const QVCallTreeNode& node, int kind) {
  SortEntry entry;
  switch (kind) {
    case QVCallTreeNode::SortPredicate::KindTotalWeight:
      entry.weight = node.totalWeight();
      break;
    case QVCallTreeNode::SortPredicate::KindSelfWeight:
      entry.weight = node.selfWeight();
      break;
    case QVCallTreeNode::SortPredicate::KindAddress:
      entry.address = node.address();
      break;
    case QVCallTreeNode::SortPredicate::KindSymbolName:
      entry.name = node.symbolName();
      break;
    case QVCallTreeNode::SortPredicate::KindModuleName:
      entry.name = node.moduleName();
      break;
    default:
      break;
  }
  return entry;
}

bool EntryLess(const SortEntry& a, const SortEntry& b, int kind) {
  switch (kind) {
    case QVCallTreeNode::SortPredicate::KindTotalWeight:
    case QVCallTreeNode::SortPredicate::KindSelfWeight:
      return a.weight < b.weight;
    case QVCallTreeNode::SortPredicate::KindAddress:
      return a.address < b.address;
    default:
      return a.name < b.name;
  }
}

// Children in a fixed order for text output: heaviest first, then by
// address and names, so that equal weights do not come out in hash order.
void OrderForDisplay(std::vector<QVCallTreeNode::NodePtr>& nodes) {
  struct Entry {
    double total;
    uint64_t address;
    std::string symbol;
    std::string module;
    QVCallTreeNode::NodePtr node;
  };
  std::vector<Entry> entries;
  entries.reserve(nodes.size());
  for (const QVCallTreeNode::NodePtr& node : nodes) {
    entries.push_back(Entry{node->totalWeight(), node->address(), node->symbolName(), node->moduleName(), node});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.total != b.total) {
      return a.total > b.total;
    }
    if (a.address != b.address) {
      return a.address < b.address;
    }
    if (a.symbol != b.symbol) {
      return a.symbol < b.symbol;
    }
    return a.module < b.module;
  });
  for (size_t i = 0; i < entries.size(); ++i) {
    nodes[i] = std::move(entries[i].node);
  }
}

void WriteWeights(std::ostream& os, double total, double self) {
  char text[64];
  std::snprintf(text, sizeof text, "%10.0f | %10.0f | ", total, self);
  os << text;
}

}  // namespace

QVCallTreeNode::QVCallTreeNode(QVCallTree& tree) : tree_(tree) {}

QVCallTreeNode::~QVCallTreeNode() = default;

void QVCallTreeNode::getChildren(std::vector<NodePtr>& children) const {
  children.clear();
  children.reserve(_ownChildCount());
  _forEachChild([this, &children](uint64_t, QVCallTreeNode* child) { children.push_back(tree_._share(child)); });
}

void QVCallTreeNode::getSortedChildren(std::vector<NodePtr>& children, const SortPredicate& predicate,
                                       bool reverse) const {
  getChildren(children);
  sortCallTreeNodes(children, predicate, reverse);
}

size_t QVCallTreeNode::numberOfChildren() const { return _ownChildCount(); }

bool QVCallTreeNode::hasChildren() const { return firstChild_.node != nullptr; }

double QVCallTreeNode::selfWeight() const { return selfWeight_; }

double QVCallTreeNode::totalWeight() const { return totalWeight_; }

void QVCallTreeNode::getDescription(std::ostream& os) const {
  WriteWeights(os, totalWeight(), selfWeight());
  tree_._describeFrame(os, templateFrame_);
  os << "\n";
  _describeSubtree(os, 1);
}

uint64_t QVCallTreeNode::address() const { return templateFrame_ != nullptr ? templateFrame_->address() : 0; }

const std::shared_ptr<QVSymbol>& QVCallTreeNode::symbol(QVRange<uint64_t>& range) const {
  if (templateFrame_ == nullptr) {
    range = QVRange<uint64_t>::EMPTY_RANGE;
    return EmptyPointer<QVSymbol>();
  }
  return templateFrame_->symbol(range);
}

const std::shared_ptr<QVSection>& QVCallTreeNode::section(QVRange<uint64_t>& range) const {
  if (templateFrame_ == nullptr) {
    range = QVRange<uint64_t>::EMPTY_RANGE;
    return EmptyPointer<QVSection>();
  }
  return templateFrame_->section(range);
}

std::string QVCallTreeNode::moduleName() const {
  if (templateFrame_ == nullptr) {
    return std::string();
  }
  const std::shared_ptr<QVModule>& module = templateFrame_->module();
  return module ? module->name() : std::string();
}

std::string QVCallTreeNode::sectionName() const {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSection>& section = this->section(range);
  return section ? section->name() : std::string();
}

std::string QVCallTreeNode::symbolName() const {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = this->symbol(range);
  return symbol ? symbol->name() : std::string();
}

void QVCallTreeNode::addCallFrame(const QVAbstractCallStackTenure& tenure, const QVAbstractCallFrame* frame) {
  const bool towardsCallers = tree_.topology() == QVCallTree::leaf;
  QVCallTreeNode* node = this;
  while (frame != nullptr) {
    if (tenure.isLeaf(frame)) {
      node->selfWeight_ += 1.0;
    }
    node->totalWeight_ += 1.0;
    if (node->templateFrame_ == nullptr) {
      node->templateFrame_ = frame;
    }
    frame = towardsCallers ? tenure.caller(frame) : tenure.callee(frame);
    if (frame != nullptr) {
      node = &node->_childForKey(tree_.uniqueCallFrame(*frame));
    }
  }
}

QVCallTreeNode* QVCallTreeNode::_findChild(uint64_t key) const {
  if (firstChild_.node == nullptr || firstChild_.key == key) {
    return firstChild_.node;
  }
  if (childIndex_) {
    const auto found = childIndex_->find(key);
    return found != childIndex_->end() ? found->second : nullptr;
  }
  for (const ChildEntry& entry : moreChildren_) {
    if (entry.key == key) {
      return entry.node;
    }
  }
  return nullptr;
}

void QVCallTreeNode::_addChild(uint64_t key, QVCallTreeNode* child) {
  // Past this many a scan costs more than a hash lookup.
  constexpr size_t kIndexedChildren = 8;
  if (firstChild_.node == nullptr) {
    firstChild_ = ChildEntry{key, child};
    return;
  }
  moreChildren_.push_back(ChildEntry{key, child});
  if (childIndex_) {
    childIndex_->emplace(key, child);
  } else if (moreChildren_.size() > kIndexedChildren) {
    childIndex_ = std::make_unique<std::unordered_map<uint64_t, QVCallTreeNode*>>();
    childIndex_->reserve(moreChildren_.size() * 2);
    for (const ChildEntry& entry : moreChildren_) {
      childIndex_->emplace(entry.key, entry.node);
    }
  }
}

QVCallTreeNode& QVCallTreeNode::_childForKey(uint64_t key) {
  if (QVCallTreeNode* child = _findChild(key)) {
    return *child;
  }
  QVCallTreeNode* child = tree_._newNode();
  _addChild(key, child);
  return *child;
}

void QVCallTreeNode::_addCallFrames(const std::vector<const QVAbstractCallFrame*>& frames,
                                    const std::vector<uint64_t>& keys, size_t begin, double weight) {
  // Position 0 is the sampled frame, so a "tree" walk runs down to it and a
  // "leaf" walk starts there and runs out to the outermost caller.
  const bool towardsCallers = tree_.topology() == QVCallTree::leaf;
  const size_t count = frames.size();
  QVCallTreeNode* node = this;
  size_t position = begin;
  for (size_t step = 0; step < count; ++step) {
    if (position == 0) {
      node->selfWeight_ += weight;
    }
    node->totalWeight_ += weight;
    if (node->templateFrame_ == nullptr) {
      node->templateFrame_ = frames[position];
    }
    if (step + 1 == count) {
      break;
    }
    position = towardsCallers ? position + 1 : position - 1;
    node = &node->_childForKey(keys[position]);
  }
}

QVCallTreeNode& QVCallTreeNode::operator+=(const QVCallTreeNode& other) {
  if (const auto* root = dynamic_cast<const QVCallTreeRootNode*>(&other)) {
    root->_mergeSubNodes();
  }
  selfWeight_ += other.selfWeight();
  totalWeight_ += other.totalWeight();
  if (templateFrame_ == nullptr) {
    templateFrame_ = other.templateFrame_;
  }
  // Below a root every node is a plain one. The walk keeps its own stack,
  // as the tree is as deep as the deepest sample.
  std::vector<std::pair<QVCallTreeNode*, const QVCallTreeNode*>> pending{{this, &other}};
  while (!pending.empty()) {
    // Named variables, not a structured binding: C++17 lambdas cannot
    // capture bindings (clang refuses them).
    QVCallTreeNode* const target = pending.back().first;
    const QVCallTreeNode* const source = pending.back().second;
    pending.pop_back();
    source->_forEachChild([target, &pending](uint64_t key, const QVCallTreeNode* theirs) {
      QVCallTreeNode* mine = target->_findChild(key);
      if (mine == nullptr) {
        target->_addChild(key, theirs->_deepCopy());
        return;
      }
      mine->selfWeight_ += theirs->selfWeight_;
      mine->totalWeight_ += theirs->totalWeight_;
      if (mine->templateFrame_ == nullptr) {
        mine->templateFrame_ = theirs->templateFrame_;
      }
      pending.emplace_back(mine, theirs);
    });
  }
  return *this;
}

QVCallTreeNode* QVCallTreeNode::_deepCopy() const {
  const auto copyOf = [this](const QVCallTreeNode& source) {
    QVCallTreeNode* copy = tree_._newNode();
    copy->templateFrame_ = source.templateFrame_;
    copy->selfWeight_ = source.selfWeight_;
    copy->totalWeight_ = source.totalWeight_;
    return copy;
  };
  QVCallTreeNode* top = copyOf(*this);
  std::vector<std::pair<QVCallTreeNode*, const QVCallTreeNode*>> pending{{top, this}};
  while (!pending.empty()) {
    QVCallTreeNode* const target = pending.back().first;
    const QVCallTreeNode* const source = pending.back().second;
    pending.pop_back();
    source->_forEachChild([&](uint64_t key, const QVCallTreeNode* child) {
      QVCallTreeNode* copy = copyOf(*child);
      target->_addChild(key, copy);
      pending.emplace_back(copy, child);
    });
  }
  return top;
}

void QVCallTreeNode::_describeSubtree(std::ostream& os, int depth) const {
  // An explicit stack: trees of deep recursive samples are as deep as
  // their stacks, which the machine stack need not accommodate.
  struct Pending {
    NodePtr node;
    int depth;
  };
  std::vector<Pending> pending;
  std::vector<NodePtr> children;
  getChildren(children);
  OrderForDisplay(children);
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    pending.push_back(Pending{*it, depth});
  }
  while (!pending.empty()) {
    Pending current = std::move(pending.back());
    pending.pop_back();
    WriteWeights(os, current.node->totalWeight(), current.node->selfWeight());
    os << std::string(static_cast<size_t>(current.depth) * 2, ' ');
    tree_._describeFrame(os, current.node->templateFrame_);
    os << "\n";
    current.node->getChildren(children);
    OrderForDisplay(children);
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      pending.push_back(Pending{*it, current.depth + 1});
    }
  }
}

template <class Pointer>
void QVCallTreeNode::_sortNodes(std::vector<Pointer>& nodes, const SortPredicate& predicate, bool reverse) {
  const int kind = predicate.kind;
  if (kind == SortPredicate::KindNone) {
    return;
  }
  if (kind < SortPredicate::KindTotalWeight || kind > SortPredicate::KindModuleName) {
    if (reverse) {
      std::reverse(nodes.begin(), nodes.end());
    }
    return;
  }
  std::vector<std::pair<SortEntry, Pointer>> entries;
  entries.reserve(nodes.size());
  for (Pointer& node : nodes) {
    entries.emplace_back(MakeSortEntry(*node, kind), std::move(node));
  }
  // Descending is sorted as such rather than reversed afterwards, which
  // would turn equal entries around.
  std::stable_sort(entries.begin(), entries.end(), [kind, reverse](const auto& a, const auto& b) {
    return reverse ? EntryLess(b.first, a.first, kind) : EntryLess(a.first, b.first, kind);
  });
  for (size_t i = 0; i < entries.size(); ++i) {
    nodes[i] = std::move(entries[i].second);
  }
}

template void QVCallTreeNode::_sortNodes<QVCallTreeNode::NodePtr>(std::vector<NodePtr>&, const SortPredicate&,
                                                                  bool);
template void QVCallTreeNode::_sortNodes<QVCallTreeRootNode::RootPtr>(std::vector<QVCallTreeRootNode::RootPtr>&,
                                                                      const SortPredicate&, bool);

void QVCallTreeNode::sortCallTreeNodes(std::vector<NodePtr>& nodes, const SortPredicate& predicate, bool reverse) {
  _sortNodes(nodes, predicate, reverse);
}

std::ostream& operator<<(std::ostream& os, const QVCallTreeNode& node) {
  node.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallTreeNode>& node) {
  if (node) {
    node->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
