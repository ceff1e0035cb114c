#include "SampleFilter.h"

namespace Quorvel {
namespace qvprof {

std::vector<Option> SampleFilter::options() {
  return {{"process", 0, "PID", "only samples (and tenures) of this process"},
          {"thread", 0, "TID", "only samples (and tenures) of this thread"}};
}

QVSampleFilter SampleFilter::fromArguments(const Arguments& arguments) {
  // The kernel's pid_max is at most 2^22.
  QVSampleFilter filter;
  if (arguments.has("process")) filter.processId = static_cast<int64_t>(arguments.integer("process", 0, 0, 4194304));
  if (arguments.has("thread")) filter.threadId = static_cast<int64_t>(arguments.integer("thread", 0, 0, 4194304));
  return filter;
}

}  // namespace qvprof
}  // namespace Quorvel
