#include "SampleFilter.h"

#include "ids/QVContext.h"

namespace Quorvel {
namespace qvprof {

bool SampleFilter::accepts(const QVContext& context) const {
  if (processId >= 0 && context.asProcessId().nativeIdentifier() != processId) return false;
  return threadId < 0 || context.threadId().nativeIdentifier() == threadId;
}

std::string SampleFilter::describe() const {
  return (processId >= 0 ? " --process " + std::to_string(processId) : std::string()) +
         (threadId >= 0 ? " --thread " + std::to_string(threadId) : std::string());
}

std::vector<Option> SampleFilter::options() {
  return {{"process", 0, "PID", "only samples of this process"}, {"thread", 0, "TID", "only samples of this thread"}};
}

SampleFilter SampleFilter::fromArguments(const Arguments& arguments) {
  // The kernel's pid_max is at most 2^22.
  SampleFilter filter;
  if (arguments.has("process")) filter.processId = static_cast<int64_t>(arguments.integer("process", 0, 0, 4194304));
  if (arguments.has("thread")) filter.threadId = static_cast<int64_t>(arguments.integer("thread", 0, 0, 4194304));
  return filter;
}

}  // namespace qvprof
}  // namespace Quorvel
