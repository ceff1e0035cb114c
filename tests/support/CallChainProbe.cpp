#include "support/CallChainProbe.h"

namespace Quorvel {
namespace test {

const std::vector<CallChainProbe::Binary>& CallChainProbe::binaries() {
  static const std::vector<Binary> builds = {
      {QV_CALL_CHAIN_PROBE_FP_G, true, true, "fp_g"},
      {QV_CALL_CHAIN_PROBE_NOFP_G, false, true, "nofp_g"},
      {QV_CALL_CHAIN_PROBE_FP_NOG, true, false, "fp_nog"},
      {QV_CALL_CHAIN_PROBE_NOFP_NOG, false, false, "nofp_nog"},
  };
  return builds;
}

}  // namespace test
}  // namespace Quorvel
