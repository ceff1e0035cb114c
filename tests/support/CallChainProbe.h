#pragma once

#include <string>
#include <vector>

#include "support/ChildProbe.h"

namespace Quorvel {
namespace test {

// The call-chain probe program run in one of its modes ("spin", "block",
// "exit-after", "churn"). The probe's functions, by mode: spin runs main ->
// outer_a -> middle_a -> inner_a and thread_b -> work_b -> leaf_b (printing
// "thread_b <tid>"); exit-after runs the first of those chains; block sits in
// main -> block_outer -> block_middle -> block_inner -> read(); churn starts
// threads running churn_worker.
class CallChainProbe : public ChildProbe {
 public:
  // One build of the probe.
  struct Binary {
    std::string path;
    bool framePointers;
    bool debugInfo;
    std::string label;  // "fp_g", "nofp_nog", ... for test names
  };
  // The four builds: with and without frame pointers, each with and without
  // debug information.
  static const std::vector<Binary>& binaries();

  using ChildProbe::ChildProbe;
};

}  // namespace test
}  // namespace Quorvel
