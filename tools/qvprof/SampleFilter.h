#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Arguments.h"

namespace Quorvel {

class QVContext;

namespace qvprof {

// The --process and --thread options of the commands that read a session:
// which samples and tenures to keep.
struct SampleFilter {
  int64_t processId = -1;  // -1: every process
  int64_t threadId = -1;   // -1: every thread

  bool accepts(const QVContext& context) const;
  bool active() const { return processId >= 0 || threadId >= 0; }
  // " --process 12 --thread 13" for messages; "" when inactive.
  std::string describe() const;

  static std::vector<Option> options();
  static SampleFilter fromArguments(const Arguments& arguments);
};

}  // namespace qvprof
}  // namespace Quorvel
