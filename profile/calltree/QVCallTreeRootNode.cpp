#include "calltree/QVCallTreeRootNode.h"

#include <cstdio>
#include <ostream>
#include <sstream>

#include "base/QVFormat.h"
#include "calltree/QVCallTree.h"
#include "model/QVProcess.h"
#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {

QVCallTreeRootNode::QVCallTreeRootNode(QVCallTree& tree) : QVCallTreeNode(tree) {}

QVCallTreeRootNode::QVCallTreeRootNode(QVCallTree& tree, const QVThreadId& threadId)
    : QVCallTreeNode(tree), threadId_(threadId) {}

QVCallTreeRootNode::QVCallTreeRootNode(QVCallTree& tree, const QVProcessId& processId)
    : QVCallTreeNode(tree), processId_(processId) {}

QVCallTreeRootNode::QVCallTreeRootNode(QVCallTree& tree, const QVSystemId& systemId)
    : QVCallTreeNode(tree), systemId_(systemId) {}

QVCallTreeRootNode::~QVCallTreeRootNode() = default;

void QVCallTreeRootNode::getChildren(std::vector<NodePtr>& children) const {
  _mergeSubNodes();
  QVCallTreeNode::getChildren(children);
}

void QVCallTreeRootNode::getSortedChildren(std::vector<NodePtr>& children, const SortPredicate& predicate,
                                           bool reverse) const {
  _mergeSubNodes();
  QVCallTreeNode::getSortedChildren(children, predicate, reverse);
}

size_t QVCallTreeRootNode::numberOfChildren() const {
  _mergeSubNodes();
  return QVCallTreeNode::numberOfChildren();
}

bool QVCallTreeRootNode::hasChildren() const { return !subsetNodes_.empty() || QVCallTreeNode::hasChildren(); }

double QVCallTreeRootNode::selfWeight() const {
  double weight = selfWeight_;
  for (const RootPtr& subset : subsetNodes_) {
    weight += subset->selfWeight();
  }
  return weight;
}

double QVCallTreeRootNode::totalWeight() const {
  double weight = totalWeight_;
  for (const RootPtr& subset : subsetNodes_) {
    weight += subset->totalWeight();
  }
  return weight;
}

void QVCallTreeRootNode::getDescription(std::ostream& os) const {
  _mergeSubNodes();
  _describeTitle(os);
  char count[32];
  std::snprintf(count, sizeof count, "%.0f", totalWeight());
  os << count << " samples - " << QVCallTree::topologyToString(tree_.topology()) << " view\n";
  os << "     Total |       Self | " << QVCallTree::granularityToString(tree_.granularity()) << "\n";
  _describeSubtree(os, 0);
}

void QVCallTreeRootNode::_describeTitle(std::ostream& os) const {
  std::ostringstream title;
  const QVProcessId process = threadId_.isValid() ? threadId_.asProcessId() : processId_;
  if (process.isValid()) {
    if (const std::shared_ptr<QVProcess>& known = QVProcess::processWithId(process, false, false)) {
      title << known->name() << " [" << process.nativeIdentifier() << "]";
    } else {
      title << process;
    }
    if (threadId_.isValid()) {
      title << " - Thread [" << threadId_.nativeIdentifier() << "]";
    }
  } else if (systemId_.isValid()) {
    title << "System [" << systemId_.name() << "]";
  } else {
    title << "All Systems";
  }
  os << FormatHeader(title.str(), '-');
}

void QVCallTreeRootNode::addCallStack(const QVAbstractCallStackTenure& tenure) {
  std::vector<const QVAbstractCallFrame*>& frames = tree_.scratchFrames_;
  std::vector<uint64_t>& keys = tree_.scratchKeys_;
  tree_._sampleFrames(tenure, frames, keys);
  _addFrames(frames, keys, 1.0);
}

void QVCallTreeRootNode::_addFrames(const std::vector<const QVAbstractCallFrame*>& frames,
                                    const std::vector<uint64_t>& keys, double weight) {
  if (frames.empty()) {
    return;
  }
  const size_t start = tree_.topology() == QVCallTree::leaf ? 0 : frames.size() - 1;
  totalWeight_ += weight;
  _childForKey(keys[start])._addCallFrames(frames, keys, start, weight);
}

void QVCallTreeRootNode::addSubsetNode(const RootPtr& subset) {
  if (subset && subset.get() != this) {
    subsetNodes_.insert(subset);
  }
}

void QVCallTreeRootNode::_mergeSubNodes() const {
  if (subsetNodes_.empty()) {
    return;
  }
  // The node was made non-const by its tree; only reading is const.
  auto* self = const_cast<QVCallTreeRootNode*>(this);
  std::set<RootPtr, SubsetOrder> subsets;
  subsets.swap(subsetNodes_);
  for (const RootPtr& subset : subsets) {
    *self += *subset;
  }
}

bool QVCallTreeRootNode::SubsetOrder::operator()(const RootPtr& a, const RootPtr& b) const {
  if (a->systemId_ != b->systemId_) {
    return a->systemId_ < b->systemId_;
  }
  if (a->processId_ != b->processId_) {
    return a->processId_ < b->processId_;
  }
  if (a->threadId_ != b->threadId_) {
    return a->threadId_ < b->threadId_;
  }
  // Two roots of one id only meet when a caller adds both; keep both.
  return a.get() < b.get();
}

void QVCallTreeRootNode::sortCallTreeRootNodes(std::vector<RootPtr>& nodes, const SortPredicate& predicate,
                                               bool reverse) {
  _sortNodes(nodes, predicate, reverse);
}

std::ostream& operator<<(std::ostream& os, const QVCallTreeRootNode& node) {
  node.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallTreeRootNode>& node) {
  if (node) {
    node->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
