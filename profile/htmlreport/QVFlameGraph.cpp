#include "htmlreport/QVFlameGraph.h"

#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

#include "base/QVException.h"
#include "calltree/QVCallTreeNode.h"

namespace Quorvel {

namespace {

// Heaviest first; ties by address so that the order never depends on hash
// tables and the page comes out the same for the same session.
void sortedChildren(const QVCallTreeNode& node, std::vector<QVCallTreeNode::NodePtr>& children) {
  node.getChildren(children);
  std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
    if (a->totalWeight() != b->totalWeight()) return a->totalWeight() > b->totalWeight();
    return a->address() < b->address();
  });
}

}  // namespace

QVFlameGraph QVFlameGraph::fromCallTree(const QVCallTreeNode& root, const Labeller& labeller, double minimumShare) {
  QVFlameGraph graph;
  const double threshold = root.totalWeight() * std::max(0.0, minimumShare);
  struct Level {
    std::vector<QVCallTreeNode::NodePtr> children;
    size_t next;
    int32_t index;  // this level's parent in the graph
  };
  std::vector<Level> levels;
  levels.push_back({{}, 0, -1});
  sortedChildren(root, levels.back().children);
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next >= level.children.size()) {
      levels.pop_back();
      continue;
    }
    const QVCallTreeNode::NodePtr child = level.children[level.next++];
    if (child->totalWeight() < threshold || child->totalWeight() <= 0) {
      ++graph.omitted_;
      continue;
    }
    graph.addNode(level.index, labeller(*child), child->totalWeight(), child->selfWeight());
    Level next{{}, 0, static_cast<int32_t>(graph.nodes_.size() - 1)};
    sortedChildren(*child, next.children);
    if (!next.children.empty()) levels.push_back(std::move(next));
  }
  return graph;
}

uint32_t QVFlameGraph::_intern(std::vector<std::string>& table, Index& index, const std::string& text) {
  const auto inserted = index.emplace(text, static_cast<uint32_t>(table.size()));
  if (inserted.second) table.push_back(text);
  return inserted.first->second;
}

void QVFlameGraph::addNode(int32_t parent, const Label& label, double total, double self) {
  if (parent >= static_cast<int32_t>(nodes_.size()) || parent < -1) {
    throw QVException("flame graph node added before its parent", __LINE__, __FILE__);
  }
  const uint32_t depth = parent < 0 ? 0 : nodes_[static_cast<size_t>(parent)].depth + 1;
  nodes_.push_back(Node{parent, depth, _intern(names_, nameIndex_, label.name),
                        _intern(modules_, moduleIndex_, label.module), total, self});
  if (parent < 0) total_ += total;
}

std::vector<QVFlameGraph::Function> QVFlameGraph::functions() const {
  struct Sums {
    double self = 0;
    double total = 0;
  };
  std::map<std::pair<uint32_t, uint32_t>, Sums> sums;
  // The functions on the path to the current node, with how often each
  // occurs on it: a node adds to a function's total only when no ancestor
  // is the same function, else recursion would count samples twice.
  std::vector<std::pair<uint32_t, uint32_t>> path;
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> onPath;
  for (const Node& node : nodes_) {
    while (path.size() > node.depth) {
      auto found = onPath.find(path.back());
      if (--found->second == 0) onPath.erase(found);
      path.pop_back();
    }
    const std::pair<uint32_t, uint32_t> key{node.name, node.module};
    Sums& entry = sums[key];
    entry.self += node.self;
    if (onPath.find(key) == onPath.end()) entry.total += node.total;
    path.push_back(key);
    ++onPath[key];
  }
  std::vector<Function> result;
  result.reserve(sums.size());
  for (const auto& entry : sums) {
    result.push_back(
        Function{names_[entry.first.first], modules_[entry.first.second], entry.second.self, entry.second.total});
  }
  std::sort(result.begin(), result.end(), [](const Function& a, const Function& b) {
    if (a.self != b.self) return a.self > b.self;
    if (a.total != b.total) return a.total > b.total;
    if (a.name != b.name) return a.name < b.name;
    return a.module < b.module;
  });
  return result;
}

void QVFlameGraph::toJson(nlohmann::json& out) const {
  nlohmann::json parent = nlohmann::json::array(), name = nlohmann::json::array(), module = nlohmann::json::array(),
                 total = nlohmann::json::array(), self = nlohmann::json::array();
  for (const Node& node : nodes_) {
    parent.push_back(node.parent);
    name.push_back(node.name);
    module.push_back(node.module);
    total.push_back(node.total);
    self.push_back(node.self);
  }
  out = nlohmann::json{{"names", names_},   {"modules", modules_}, {"parent", std::move(parent)},
                       {"name", std::move(name)}, {"module", std::move(module)}, {"total", std::move(total)},
                       {"self", std::move(self)}, {"omitted", omitted_}};
}

}  // namespace Quorvel
