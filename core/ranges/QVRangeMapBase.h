#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "ranges/QVRange.h"

namespace Quorvel {

// The interface of a map from disjoint half-open ranges of K to values of V.
// D is the concrete map, which getSubMapInRange fills.
//
// Every write removes what it covers first, so a later write wins over what
// it overlaps and stored ranges never overlap. Results that list ranges or
// values are in location order and replace the vector's previous content.
// Lookups that find nothing give EMPTY_RANGE and a default-constructed value.
template <class K, class V, class D>
class QVRangeMapBase {
 public:
  using Range = QVRange<K>;

  virtual ~QVRangeMapBase() = default;

  // Throws QVException "unequal number of values and ranges" when the counts
  // differ, leaving the map unchanged. Otherwise clears first if asked, then
  // stores each pair in order; the last flag is accepted and ignored.
  virtual void setRangesAndValues(const std::vector<Range>& ranges, const std::vector<V>& values, bool clearFirst,
                                  bool unused) = 0;
  virtual void SWIG_getRanges(std::vector<Range>& ranges) const = 0;
  virtual void SWIG_getValues(std::vector<V>& values) const = 0;
  virtual uint32_t size() const = 0;
  virtual bool isEmpty() const = 0;
  // A zero-length range is logged at DEBUG and ignored.
  virtual void setValueForRange(const V& value, const Range& range) = 0;
  // exact: the range containing the location. Otherwise the containing
  // range or, failing that, the nearest one.
  virtual Range rangeForLocation(const K& location, bool exact) const = 0;
  virtual const V& valueForLocation(const K& location, bool exact) const = 0;
  virtual const V& valueAndRangeForLocation(const K& location, Range& range, bool exact) const = 0;
  // Every stored range (or its value) that overlaps the range.
  virtual void getRangesInRange(const Range& range, std::vector<Range>& ranges) const = 0;
  virtual void getValuesInRange(const Range& range, std::vector<V>& values) const = 0;
  virtual bool containsValueForLocation(const K& location) const = 0;
  virtual bool containsValueForRange(const Range& range) const = 0;
  // Removes what the range covers; pieces of cut ranges outside it stay.
  virtual void removeRange(const Range& range) = 0;
  // Both return the number of ranges removed.
  virtual size_t removeRangesShorterThan(K length) = 0;
  virtual size_t removeValue(const V& value) = 0;
  virtual void clear() = 0;
  // From the first range's location to the last range's end.
  virtual Range enclosingRange() const = 0;
  // Stretches the ranges overlapping the range so that they tile it.
  virtual void fillGapsInRange(const Range& range) = 0;
  // The part of this map inside the range, clipped to it.
  virtual void getSubMapInRange(const Range& range, D& out, bool append) const = 0;
  virtual void addOffset(const K& offset) = 0;
  virtual void subtractOffset(const K& offset) = 0;
  virtual void getDescription(std::ostream& os) const = 0;
};

}  // namespace Quorvel
