#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "samples/QVCallStackTenure.h"

namespace Quorvel {

// Keeps every call-stack sample with its own address vector: simple, and
// what older session files hold, but large for long recordings.
//
// Archive keys: every sample as one "CallStack" element (QVCallStackTenure).
class QVCallStackTenureArchiver : public QVAbstractCallStackTenureArchiver {
 public:
  QVCallStackTenureArchiver();
  ~QVCallStackTenureArchiver() override;
  const char* sessionKey() const override { return "CallStacks"; }

  void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
               const std::vector<uint64_t>& addresses) override;
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
};

}  // namespace Quorvel
