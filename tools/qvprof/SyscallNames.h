#pragma once

#include <string>
#include <unordered_map>

namespace Quorvel {
namespace qvprof {

// System-call names of this machine by number, read from the kernel's
// table that every machine with C headers carries (linux-libc-dev):
// "#define __NR_write 1". A number the table does not name reads as
// "syscall_<N>".
class SyscallNames {
 public:
  // The table of this machine (x86-64), read once.
  static const SyscallNames& machine();
  // From a unistd header's text.
  static SyscallNames fromHeader(const std::string& text);

  std::string name(int number) const;
  size_t size() const { return names_.size(); }

 private:
  std::unordered_map<int, std::string> names_;
};

}  // namespace qvprof
}  // namespace Quorvel
