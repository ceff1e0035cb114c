#include "export/QVFoldedStacks.h"

#include <cmath>
#include <ostream>
#include <unordered_map>

#include "export/QVFrameText.h"
#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {

const char* const QVFoldedStacks::NoFrames = "[no frames]";

namespace {

// Tree weights are sample counts held in doubles.
uint64_t Count(double weight) { return weight > 0.0 ? static_cast<uint64_t>(std::llround(weight)) : 0; }

}  // namespace

std::string QVFoldedStacks::sanitizedLabel(std::string label) {
  for (char& c : label) {
    if (c == ';') c = ':';
    if (c == '\n' || c == '\r') c = ' ';
  }
  return label;
}

QVFoldedStacks::QVFoldedStacks(const TenureList& samples, QVCallTree::Granularity granularity) {
  for (const auto& sample : samples) {
    if (sample) ++sampleCount_;
  }
  if (sampleCount_ == 0) return;
  const QVCallTree tree(samples, QVCallTree::tree, granularity);
  const uint64_t framed = Count(tree.rootNode()->totalWeight());
  if (framed < sampleCount_) stacks_[NoFrames] = sampleCount_ - framed;

  struct Level {
    std::vector<QVCallTreeNode::NodePtr> children;
    size_t next;
    size_t pathLength;  // of `path` before this level's label
    std::string label;  // of the child being visited
  };
  std::vector<Level> levels;
  levels.push_back({{}, 0, 0, std::string()});
  tree.rootNode()->getChildren(levels.back().children);
  std::string path;
  // How often each label is on the current path: a recursive function
  // counts its total once, at its outermost frame.
  std::unordered_map<std::string, size_t> onPath;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.label.empty()) {
      // The previously visited child of this level is done.
      if (--onPath[level.label] == 0) onPath.erase(level.label);
      level.label.clear();
    }
    if (level.next >= level.children.size()) {
      levels.pop_back();
      continue;
    }
    const QVCallTreeNode::NodePtr child = level.children[level.next++];
    const std::string label =
        sanitizedLabel(QVFrameText::functionLabel(child->templateCallFrame(), granularity));
    path.resize(level.pathLength);
    if (!path.empty()) path += ';';
    path += label;
    FunctionCount& function = functions_[label];
    function.self += Count(child->selfWeight());
    if (onPath[label]++ == 0) function.total += Count(child->totalWeight());
    level.label = label;
    if (child->selfWeight() > 0.0) stacks_[path] += Count(child->selfWeight());
    Level next{{}, 0, path.size(), std::string()};
    child->getChildren(next.children);
    levels.push_back(std::move(next));
  }
}

void QVFoldedStacks::write(std::ostream& out) const {
  for (const auto& stack : stacks_) out << stack.first << ' ' << stack.second << '\n';
}

void QVFoldedStacks::writeDifferential(std::ostream& out, const QVFoldedStacks& base, const QVFoldedStacks& next) {
  auto b = base.stacks_.begin();
  auto n = next.stacks_.begin();
  // A merge of two ordered maps keeps the output in byte order.
  while (b != base.stacks_.end() || n != next.stacks_.end()) {
    if (n == next.stacks_.end() || (b != base.stacks_.end() && b->first < n->first)) {
      out << b->first << ' ' << b->second << " 0\n";
      ++b;
    } else if (b == base.stacks_.end() || n->first < b->first) {
      out << n->first << " 0 " << n->second << '\n';
      ++n;
    } else {
      out << b->first << ' ' << b->second << ' ' << n->second << '\n';
      ++b;
      ++n;
    }
  }
}

}  // namespace Quorvel
