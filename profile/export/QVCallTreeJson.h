#pragma once

#include <cstddef>

#include <nlohmann/json.hpp>

#include "calltree/QVCallTree.h"

namespace Quorvel {

// A call tree as nested JSON objects, for scripts: every node has "name"
// (as the text report labels it), "module", "self" and "total" (sample
// counts) and "children", heaviest first. The tree's own depth comes from
// the session file, so the document is built without recursion and nests
// at most MaxDepth levels: a node at that depth has no "children" but
// "truncated": true, and its counts still hold everything below it.
class QVCallTreeJson {
 public:
  static constexpr size_t MaxDepth = 1000;

  struct Options {
    size_t depth = 0;         // levels; 0 means MaxDepth
    double minPercent = 0.0;  // nodes under this share of all samples are left out
  };

  // {"total": N, "children": [...]}: the root's weight and its children.
  static nlohmann::ordered_json build(const QVCallTree& tree, const Options& options);
};

}  // namespace Quorvel
