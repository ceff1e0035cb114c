#pragma once

#include <vector>

#include "Arguments.h"
#include "export/QVSampleSelection.h"

namespace Quorvel {
namespace qvprof {

// The --process and --thread options of the commands that read a session,
// read into the library's sample filter.
class SampleFilter {
 public:
  static std::vector<Option> options();
  static QVSampleFilter fromArguments(const Arguments& arguments);
};

}  // namespace qvprof
}  // namespace Quorvel
