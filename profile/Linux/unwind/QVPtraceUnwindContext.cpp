#include "Linux/unwind/QVPtraceUnwindContext.h"

#include <libunwind-ptrace.h>

namespace Quorvel {

QVPtraceUnwindContext::QVPtraceUnwindContext(pid_t tid) : context_(_UPT_create(tid)) {}

QVPtraceUnwindContext::~QVPtraceUnwindContext() {
  if (context_ != nullptr) {
    _UPT_destroy(context_);
  }
}

}  // namespace Quorvel
