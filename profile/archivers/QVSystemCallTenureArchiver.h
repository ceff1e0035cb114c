#pragma once

#include <cstdint>
#include <vector>

#include "archivers/QVAbstractSystemCallTenureArchiver.h"
#include "samples/QVSystemCallTenure.h"

namespace Quorvel {

// Keeps system calls as QVSystemCallTenure objects.
//
// Archive keys: every call as one "SysCall" element (QVSystemCallTenure).
class QVSystemCallTenureArchiver : public QVAbstractSystemCallTenureArchiver {
 public:
  QVSystemCallTenureArchiver();
  ~QVSystemCallTenureArchiver() override;

  void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick, int number,
               const std::vector<uint64_t>& addresses) override;
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
};

}  // namespace Quorvel
