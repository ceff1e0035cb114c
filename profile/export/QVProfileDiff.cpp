#include "export/QVProfileDiff.h"

#include <algorithm>
#include <cmath>

namespace Quorvel {

double QVProfileDiff::Row::change() const { return std::max(std::fabs(selfChange()), std::fabs(totalChange())); }

std::vector<QVProfileDiff::Row> QVProfileDiff::compare(const QVFoldedStacks& base, const QVFoldedStacks& next,
                                                       double minPercent) {
  const auto percent = [](uint64_t count, uint64_t all) { return all > 0 ? 100.0 * count / all : 0.0; };
  std::vector<Row> rows;
  const auto& before = base.functions();
  const auto& after = next.functions();
  auto b = before.begin();
  auto a = after.begin();
  while (b != before.end() || a != after.end()) {
    Row row;
    if (a == after.end() || (b != before.end() && b->first < a->first)) {
      row.function = b->first;
      row.vanishes = true;
    } else if (b == before.end() || a->first < b->first) {
      row.function = a->first;
      row.appears = true;
    } else {
      row.function = b->first;
    }
    if (!row.appears) {
      row.baseSelf = percent(b->second.self, base.sampleCount());
      row.baseTotal = percent(b->second.total, base.sampleCount());
      ++b;
    }
    if (!row.vanishes) {
      row.newSelf = percent(a->second.self, next.sampleCount());
      row.newTotal = percent(a->second.total, next.sampleCount());
      ++a;
    }
    if (std::max(row.baseTotal, row.newTotal) >= minPercent) rows.push_back(std::move(row));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) { return x.change() > y.change(); });
  return rows;
}

}  // namespace Quorvel
