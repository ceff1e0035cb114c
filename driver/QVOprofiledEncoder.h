#pragma once

#include <cstdint>
#include <vector>

#include "QVNotifydTaskTable.h"
#include "QVProfiledPerfSampler.h"

namespace Quorvel {

/// Writes samples the way the oprofile driver does: a context switch names
/// the thread and its program's cookie and is followed by the thread group;
/// user-space addresses become offsets into the files the task table knows
/// mapped there, each file announced by a cookie switch; kernel addresses
/// and user addresses of no file (anonymous code) go as they are, the
/// latter under no cookie. Each unit restates processor and context, so any
/// chunk of the buffer decodes on its own.
class QVOprofiledEncoder {
 public:
  explicit QVOprofiledEncoder(const QVNotifydTaskTable& table) : table_(table) {}

  /// With call chains, frames after the first are its callers in a trace.
  std::vector<unsigned char> encode(uint32_t cpu, uint32_t pid, uint32_t tid,
                                    const std::vector<QVProfiledPerfSampler::Frame>& frames, bool callchains) const;

 private:
  const QVNotifydTaskTable& table_;
};

}  // namespace Quorvel
