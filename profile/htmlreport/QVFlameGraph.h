#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace Quorvel {

class QVCallTreeNode;

// A call tree reduced to what a flame graph draws: every node once, in
// depth-first order with children heaviest first, each with its label, its
// own and its total sample count. A page draws it without walking samples,
// so its size depends on the number of distinct call paths, not of samples.
class QVFlameGraph {
 public:
  struct Label {
    std::string name;
    std::string module;
  };
  struct Node {
    int32_t parent;  // -1 for the outermost frames
    uint32_t depth;  // 0 for the outermost frames
    uint32_t name;   // index into names()
    uint32_t module; // index into modules()
    double total;
    double self;
  };
  // Per distinct (name, module): samples taken in it and samples that
  // passed through it, a recursive call counted once per sample.
  struct Function {
    std::string name;
    std::string module;
    double self;
    double total;
  };

  using Labeller = std::function<Label(const QVCallTreeNode&)>;

  QVFlameGraph() = default;

  // The children of `root` and their subtrees. Subtrees whose total is
  // below minimumShare of the root's total are left out (their weight
  // stays in the totals above them), which bounds the node count for huge,
  // flat sessions; 0 keeps everything. Walks iteratively: depth comes from
  // the recorded stacks.
  static QVFlameGraph fromCallTree(const QVCallTreeNode& root, const Labeller& labeller, double minimumShare);

  // Appends a node; `parent` must be an earlier node or -1, and nodes must
  // come in depth-first order.
  void addNode(int32_t parent, const Label& label, double total, double self);

  const std::vector<Node>& nodes() const { return nodes_; }
  const std::vector<std::string>& names() const { return names_; }
  const std::vector<std::string>& modules() const { return modules_; }
  // The sum of the outermost nodes' totals: every sample with a stack.
  double total() const { return total_; }
  // Nodes left out by fromCallTree.
  uint64_t omitted() const { return omitted_; }

  // Heaviest self first, then heaviest total, then by name.
  std::vector<Function> functions() const;

  // {"names": [...], "modules": [...], "parent": [...], "name": [...],
  //  "module": [...], "total": [...], "self": [...], "omitted": N}
  // in node order: columns rather than objects, a third of the size.
  void toJson(nlohmann::json& out) const;

 private:
  using Index = std::unordered_map<std::string, uint32_t>;
  static uint32_t _intern(std::vector<std::string>& table, Index& index, const std::string& text);

  std::vector<Node> nodes_;
  std::vector<std::string> names_;
  std::vector<std::string> modules_;
  double total_ = 0;
  uint64_t omitted_ = 0;
  Index nameIndex_;
  Index moduleIndex_;
};

}  // namespace Quorvel
