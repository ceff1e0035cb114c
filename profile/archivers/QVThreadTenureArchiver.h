#pragma once

#include <cstdint>

#include "archivers/QVAbstractThreadTenureArchiver.h"
#include "samples/QVThreadTenure.h"

namespace Quorvel {

// Keeps thread tenures as QVThreadTenure objects.
//
// Archive keys: every tenure as one "Tenure" element (QVThreadTenure).
class QVThreadTenureArchiver : public QVAbstractThreadTenureArchiver {
 public:
  QVThreadTenureArchiver();
  ~QVThreadTenureArchiver() override;

  void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
               QVAbstractThreadTenure::EndReason endReason, int priority) override;
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
};

}  // namespace Quorvel
