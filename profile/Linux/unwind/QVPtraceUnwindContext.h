#pragma once

#include <sys/types.h>

namespace Quorvel {

// libunwind's per-thread ptrace argument (`_UPT_create`), destroyed with
// the object. The thread must stay attached and stopped while the context
// is used; the context itself holds no ptrace state, only the ELF image
// libunwind maps to look unwind rules up.
class QVPtraceUnwindContext {
 public:
  explicit QVPtraceUnwindContext(pid_t tid);
  ~QVPtraceUnwindContext();
  QVPtraceUnwindContext(const QVPtraceUnwindContext&) = delete;
  QVPtraceUnwindContext& operator=(const QVPtraceUnwindContext&) = delete;

  // Null when libunwind could not allocate it.
  void* get() const { return context_; }
  bool isValid() const { return context_ != nullptr; }

 private:
  void* context_;
};

}  // namespace Quorvel
