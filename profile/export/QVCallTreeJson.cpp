#include "export/QVCallTreeJson.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "export/QVFrameText.h"

namespace Quorvel {

namespace {

using json = nlohmann::ordered_json;

// Tree weights are sample counts held in doubles.
uint64_t Count(double weight) { return weight > 0.0 ? static_cast<uint64_t>(std::llround(weight)) : 0; }

struct Child {
  QVCallTreeNode::NodePtr node;
  std::string label;
};

// Heaviest first, then by label and address: the text report's order, so
// equal weights never depend on hash-table order.
std::vector<Child> Sorted(const QVCallTreeNode& parent, QVCallTree::Granularity granularity) {
  std::vector<QVCallTreeNode::NodePtr> nodes;
  parent.getChildren(nodes);
  std::vector<Child> children;
  children.reserve(nodes.size());
  for (auto& node : nodes) children.push_back({node, QVFrameText::nodeLabel(node->templateCallFrame(), granularity)});
  std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
    if (a.node->totalWeight() != b.node->totalWeight()) return a.node->totalWeight() > b.node->totalWeight();
    if (a.node->selfWeight() != b.node->selfWeight()) return a.node->selfWeight() > b.node->selfWeight();
    if (a.label != b.label) return a.label < b.label;
    return a.node->address() < b.node->address();
  });
  return children;
}

}  // namespace

json QVCallTreeJson::build(const QVCallTree& tree, const Options& options) {
  const size_t maxDepth = options.depth == 0 ? MaxDepth : std::min(options.depth, MaxDepth);
  const double total = tree.rootNode()->totalWeight();
  json document = {{"total", Count(total)}, {"children", json::array()}};
  if (total <= 0.0) return document;

  // Each level's "children" array is only appended to while no deeper level
  // is open, so the reference to it stays valid.
  struct Level {
    std::vector<Child> children;
    size_t next;
    json* array;
  };
  std::vector<Level> levels;
  levels.push_back({Sorted(*tree.rootNode(), tree.granularity()), 0, &document["children"]});
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next >= level.children.size()) {
      levels.pop_back();
      continue;
    }
    const Child child = level.children[level.next++];
    if (100.0 * child.node->totalWeight() / total < options.minPercent) {
      level.next = level.children.size();  // siblings come heaviest first
      continue;
    }
    const QVAbstractCallFrame* frame = child.node->templateCallFrame();
    json node = {{"name", child.label},
                 {"module", frame ? QVFrameText::moduleName(*frame) : QVFrameText::Unknown},
                 {"self", Count(child.node->selfWeight())},
                 {"total", Count(child.node->totalWeight())}};
    const bool hasChildren = child.node->hasChildren();
    const bool deeper = levels.size() < maxDepth;
    if (hasChildren && !deeper) node["truncated"] = true;
    if (deeper) node["children"] = json::array();
    level.array->push_back(std::move(node));
    if (hasChildren && deeper) {
      json* array = &level.array->back()["children"];
      levels.push_back({Sorted(*child.node, tree.granularity()), 0, array});
    }
  }
  return document;
}

}  // namespace Quorvel
