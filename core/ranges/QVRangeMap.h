#pragma once

#include <cstddef>
#include <cstdint>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "base/QVException.h"
#include "base/QVLog.h"
#include "ranges/QVIntervalTree.h"
#include "ranges/QVRange.h"
#include "ranges/QVRangeMapBase.h"
#include "ranges/QVValueText.h"

namespace Quorvel {

// A map from disjoint half-open ranges to values over one interval tree:
// process address space to sections, kernel addresses to modules, symbol
// offsets to symbols, source lines.
//
// V is held by value in the nodes (a shared pointer value holds one
// reference per range) and must be default-constructible, copyable and
// equality-comparable; values that can be streamed appear in descriptions.
// Copies are deep. Not thread-safe: owners that share a map lock around it.
template <class K, class V>
class QVRangeMap : public QVRangeMapBase<K, V, QVRangeMap<K, V>> {
 public:
  using Range = QVRange<K>;
  using Tree = QVIntervalTree<K, V>;
  using IntervalNode = typename Tree::IntervalNode;

  QVRangeMap() = default;
  QVRangeMap(const QVRangeMap& other) { insertAllOf(other); }
  QVRangeMap& operator=(const QVRangeMap& other) {
    if (this != &other) {
      tree_.clear();
      insertAllOf(other);
    }
    return *this;
  }
  ~QVRangeMap() override = default;

  void setRangesAndValues(const std::vector<Range>& ranges, const std::vector<V>& values, bool clearFirst,
                          bool /*unused*/) override {
    if (ranges.size() != values.size()) {
      throw QVException("unequal number of values and ranges", 188, "QVRangeMap2");
    }
    if (clearFirst) {
      clear();
    }
    for (size_t i = 0; i < ranges.size(); ++i) {
      setValueForRange(values[i], ranges[i]);
    }
  }

  void SWIG_getRanges(std::vector<Range>& ranges) const override {
    ranges.clear();
    ranges.reserve(tree_.size());
    tree_.forEachInOrder([&ranges](const auto* node) { ranges.push_back(node->key); });
  }

  void SWIG_getValues(std::vector<V>& values) const override {
    values.clear();
    values.reserve(tree_.size());
    tree_.forEachInOrder([&values](const auto* node) { values.push_back(node->value); });
  }

  uint32_t size() const override { return tree_.size(); }
  bool isEmpty() const override { return tree_.size() == 0; }

  void setValueForRange(const V& value, const Range& range) override {
    if (range.length == 0) {
      if (LogIsEnabled(QVLogLevel::Debug)) {
        std::ostringstream text;
        text << "attempt to set invalid length range " << range << " for [" << QVValueText<V>::typeName() << "] ";
        QVValueText<V>::write(text, value);
        detail::LogMessage(QVLogLevel::Debug, text.str(), "QVRangeMap2", 345);
      }
      return;
    }
    removeRange(range);
    tree_.insert(range, value);
  }

  Range rangeForLocation(const K& location, bool exact) const override {
    Range range;
    valueAndRangeForLocation(location, range, exact);
    return range;
  }

  const V& valueForLocation(const K& location, bool exact) const override {
    Range range;
    return valueAndRangeForLocation(location, range, exact);
  }

  const V& valueAndRangeForLocation(const K& location, Range& range, bool exact) const override {
    return found(exact ? tree_.findContainingInDisjoint(location) : tree_.findNearest(location), range);
  }

  void getRangesInRange(const Range& range, std::vector<Range>& ranges) const override {
    ranges.clear();
    tree_.forEachOverlapping(range, [&ranges](const IntervalNode* node) { ranges.push_back(node->key); });
  }

  void getValuesInRange(const Range& range, std::vector<V>& values) const override {
    values.clear();
    tree_.forEachOverlapping(range, [&values](const IntervalNode* node) { values.push_back(node->value); });
  }

  bool containsValueForLocation(const K& location) const override {
    return tree_.findContainingInDisjoint(location) != nullptr;
  }

  bool containsValueForRange(const Range& range) const override { return tree_.findOverlapping(range) != nullptr; }

  // Repeats until nothing overlaps: a stored range inside `range` goes; one
  // that sticks out is replaced by the piece(s) outside, with its value.
  void removeRange(const Range& range) override {
    while (IntervalNode* node = tree_.findOverlapping(range)) {
      const Range old = node->key;
      const bool coversFront = range.location <= old.location;
      const bool coversBack = range.end() >= old.end();
      if (coversFront && coversBack) {
        tree_.deleteNode(node);
        continue;
      }
      const V value = node->value;
      tree_.deleteNode(node);
      if (coversFront) {
        tree_.insert(Range(range.end(), Range::Subtract(old.end(), range.end())), value);
      } else if (coversBack) {
        tree_.insert(Range(old.location, Range::Subtract(range.location, old.location)), value);
      } else {
        tree_.insert(Range(old.location, Range::Subtract(range.location, old.location)), value);
        tree_.insert(Range(range.end(), Range::Subtract(old.end(), range.end())), value);
      }
    }
  }

  size_t removeRangesShorterThan(K length) override {
    std::vector<Range> ranges;
    getRangesShorterThan(length, ranges);
    return removeAll(ranges);
  }

  size_t removeValue(const V& value) override {
    std::vector<Range> ranges;
    tree_.forEachInOrder([&ranges, &value](const auto* node) {
      if (node->value == value) {
        ranges.push_back(node->key);
      }
    });
    return removeAll(ranges);
  }

  void clear() override { tree_.clear(); }

  Range enclosingRange() const override {
    if (tree_.isEmpty()) {
      return Range::EMPTY_RANGE;
    }
    const Range& first = tree_.first()->key;
    return Range(first.location, Range::Subtract(tree_.last()->key.end(), first.location));
  }

  // The overlapping ranges are stretched in place: the first back to the
  // range's start, each up to where the next begins, the last to the range's
  // end. Neighbours outside the range end at or before its start (they do
  // not overlap it), so moving the first location back keeps the key order.
  void fillGapsInRange(const Range& range) override {
    if (tree_.isEmpty()) {
      return;
    }
    std::vector<IntervalNode*> nodes;
    tree_.forEachOverlapping(range, [&nodes](IntervalNode* node) { nodes.push_back(node); });
    if (nodes.empty()) {
      return;
    }
    Range& first = nodes.front()->key;
    if (first.location > range.location) {
      first.length = Range::Add(first.length, Range::Subtract(first.location, range.location));
      first.location = range.location;
    }
    for (size_t i = 0; i + 1 < nodes.size(); ++i) {
      nodes[i]->key.length = Range::Subtract(nodes[i + 1]->key.location, nodes[i]->key.location);
    }
    Range& last = nodes.back()->key;
    if (last.end() < range.end()) {
      last.length = Range::Subtract(range.end(), last.location);
    }
    tree_.root()->recursiveUpdate();
  }

  // Copies the overlapping ranges into out's tree as they are, then trims
  // out to the range. The front trim starts at out's first location rather
  // than at zero so that it also reaches negative offsets of signed maps.
  // With append, the caller keeps out free of ranges that overlap the copy.
  void getSubMapInRange(const Range& range, QVRangeMap& out, bool append) const override {
    if (!append) {
      out.clear();
    }
    if (tree_.isEmpty()) {
      return;
    }
    tree_.forEachOverlapping(range, [&out](const IntervalNode* node) { out.tree_.insert(node->key, node->value); });
    const Range enclosing = out.enclosingRange();
    if (range.location > enclosing.location) {
      out.removeRange(Range(enclosing.location, Range::Subtract(range.location, enclosing.location)));
    }
    if (range.end() < enclosing.end()) {
      out.removeRange(Range(range.end(), Range::Subtract(enclosing.end(), range.end())));
    }
  }

  void addOffset(const K& offset) override { tree_.addOffset(offset); }
  void subtractOffset(const K& offset) override { tree_.subtractOffset(offset); }

  // "[0x<start>, 0x<end>)" padded on the right to the stream's width at the
  // call, " -> [<type of V>] <value>", one line a range in location order.
  void getDescription(std::ostream& os) const override {
    const std::streamsize width = os.width(0);
    tree_.forEachInOrder([&os, width](const auto* node) {
      const std::ios_base::fmtflags flags = os.flags();
      os << std::left << std::setw(static_cast<int>(width)) << node->key.description();
      os.flags(flags);
      os << " -> [" << QVValueText<V>::typeName() << "] ";
      QVValueText<V>::write(os, node->value);
      os << "\n";
    });
  }

  // The same object, or equal counts with pairwise equal ranges and values
  // in location order (shared pointers compare by the object they hold).
  virtual bool operator==(const QVRangeMap& other) const {
    if (this == &other) {
      return true;
    }
    if (size() != other.size()) {
      return false;
    }
    for (auto *a = tree_.first(), *b = other.tree_.first(); a != nullptr; a = Tree::Successor(a), b = Tree::Successor(b)) {
      if (a->key != b->key || !(a->value == b->value)) {
        return false;
      }
    }
    return true;
  }

  // Writes each of other's ranges over this map: other's values win.
  virtual QVRangeMap& operator+=(const QVRangeMap& other) {
    if (this != &other) {
      other.tree_.forEachInOrder([this](const auto* node) { setValueForRange(node->value, node->key); });
    }
    return *this;
  }

  // Removes everything other covers; m -= m empties m.
  virtual QVRangeMap& operator-=(const QVRangeMap& other) {
    if (this == &other) {
      clear();
    } else {
      other.tree_.forEachInOrder([this](const auto* node) { removeRange(node->key); });
    }
    return *this;
  }

  // The closest range that ends strictly before the location and does not
  // contain it (a range ending exactly at it does not count).
  virtual Range rangeBeforeLocation(const K& location) const {
    Range range;
    valueAndRangeBeforeLocation(location, range);
    return range;
  }
  virtual const V& valueAndRangeBeforeLocation(const K& location, Range& range) const {
    auto* node = tree_.findNearest(location);
    while (node != nullptr && (node->key.contains(location) || !(node->key.end() < location))) {
      node = Tree::Cast(Tree::Predecessor(node));
    }
    return found(node, range);
  }

  // The closest range that starts at or after the location and does not
  // contain it.
  virtual Range rangeAfterLocation(const K& location) const {
    Range range;
    valueAndRangeAfterLocation(location, range);
    return range;
  }
  virtual const V& valueAndRangeAfterLocation(const K& location, Range& range) const {
    auto* node = tree_.findNearest(location);
    while (node != nullptr && (node->key.contains(location) || node->key.location < location)) {
      node = Tree::Cast(Tree::Successor(node));
    }
    return found(node, range);
  }

  virtual void getRangesShorterThan(K length, std::vector<Range>& ranges) const {
    ranges.clear();
    tree_.forEachInOrder([&ranges, length](const auto* node) {
      if (node->key.length < length) {
        ranges.push_back(node->key);
      }
    });
  }

  bool operator!=(const QVRangeMap& other) const { return !(*this == other); }
  QVRangeMap operator+(const QVRangeMap& other) const {
    QVRangeMap result(*this);
    result += other;
    return result;
  }
  QVRangeMap operator-(const QVRangeMap& other) const {
    QVRangeMap result(*this);
    result -= other;
    return result;
  }

  // The tree underneath, for searches that need it directly and for
  // switching on its verification.
  Tree& tree() { return tree_; }
  const Tree& tree() const { return tree_; }

  // What lookups that find nothing refer to.
  static const V& EmptyValue() {
    static const V empty{};
    return empty;
  }

 private:
  static const V& found(const typename Tree::Node* node, Range& range) {
    if (node == nullptr) {
      range = Range::EMPTY_RANGE;
      return EmptyValue();
    }
    range = node->key;
    return node->value;
  }

  size_t removeAll(const std::vector<Range>& ranges) {
    for (const Range& range : ranges) {
      removeRange(range);
    }
    return ranges.size();
  }

  // Sorted input, so each insert goes to the rightmost spot: no overlap
  // removal needed for a source that is itself a map.
  void insertAllOf(const QVRangeMap& other) {
    other.tree_.forEachInOrder([this](const auto* node) { tree_.insert(node->key, node->value); });
  }

  Tree tree_;
};

template <class K, class V>
std::ostream& operator<<(std::ostream& os, const QVRangeMap<K, V>& map) {
  map.getDescription(os);
  return os;
}

extern template class QVRangeMap<int, int>;

}  // namespace Quorvel
