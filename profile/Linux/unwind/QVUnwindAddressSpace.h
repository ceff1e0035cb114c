#pragma once

#include <libunwind.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Quorvel {

// The remote unwinder's address space of one target process, built on
// libunwind's ptrace accessors (`_UPT_accessors`) and kept for the owner's
// life so that libunwind's global cache of unwind rules keeps paying off.
//
// Two facilities are added that the distribution's libunwind lacks:
// - a user pointer per address space (setUserPointer / userPointer), so
//   that accessor callbacks, which get only the address space and the
//   per-thread ptrace argument, can reach the object owning the space;
// - an ELF-path accessor, called with the address space and an
//   instruction address, answering the file mapped there with the
//   mapping's start and file offset (0), or -1 when no file mapping holds
//   the address.
// The ptrace table is copied with its functions kept; only the procedure
// lookup is wrapped. It asks the ELF-path accessor first: an address in no
// known file mapping has no unwind information to find, and libunwind then
// falls back to the frame chain at once instead of re-reading the target's
// maps for every such address. The per-thread argument every accessor gets
// is the `_UPT_create` context (QVPtraceUnwindContext), passed through.
class QVUnwindAddressSpace {
 public:
  using ElfPathAccessor = int (*)(unw_addr_space_t space, unw_word_t ip, unw_word_t* start, unw_word_t* offset,
                                  char* buffer, size_t size);

  // The ptrace table as given to libunwind, and the ELF-path accessor
  // beside it.
  struct Accessors {
    unw_accessors_t unwind;
    ElfPathAccessor getElfPath;
  };

  // Creates the space with global caching and attaches `userPointer` to it.
  // A null `getElfPath` leaves every lookup to the ptrace accessors.
  QVUnwindAddressSpace(ElfPathAccessor getElfPath, void* userPointer);
  ~QVUnwindAddressSpace();
  QVUnwindAddressSpace(const QVUnwindAddressSpace&) = delete;
  QVUnwindAddressSpace& operator=(const QVUnwindAddressSpace&) = delete;

  // False when libunwind could not create the space.
  bool isValid() const { return space_ != nullptr; }
  unw_addr_space_t space() const { return space_; }
  const Accessors& accessors() const { return accessors_; }

  // What was taken of one thread of the target for unwinding it: its
  // registers and a snapshot of its stack above the stack pointer (less the
  // red zone), read in one piece with process_vm_readv. The unwinder's word
  // reads are answered from the snapshot; only addresses outside it are
  // read from the process one word at a time. This replaces a
  // PTRACE_PEEKUSER per register and a PTRACE_PEEKDATA per word.
  //
  // A thread stopped under ptrace gives all its registers. A thread blocked
  // in a system call is not stopped: only the instruction and stack
  // pointers of its user side are known (from /proc/<tid>/syscall), and a
  // step that needs another register finds it unknown, ending the walk.
  //
  // While the thread cannot run (stopped, or blocked and checked unmoved
  // afterwards) the snapshot grows on demand towards the top of the stack.
  // Once freeze() is called the thread may run again and its stack change:
  // the snapshot then answers alone for the stack, and a read past its end
  // that may still be stack (the first read did not end at unreadable
  // memory) fails and marks the snapshot overflowed, so that the caller
  // takes the thread again with a longer snapshot. Reads elsewhere (unwind
  // tables, code) still come from the process: they do not change under a
  // running thread.
  class Snapshot {
   public:
    // Of a thread blocked in a system call; reads `length` bytes of stack.
    Snapshot(pid_t tid, unw_word_t ip, unw_word_t sp, size_t length = kChunk);
    // Of a thread stopped under ptrace: its registers, and `length` bytes
    // of stack.
    Snapshot(pid_t tid, size_t length);
    Snapshot(Snapshot&&) = default;
    Snapshot& operator=(Snapshot&&) = default;

    // False when a stopped thread's registers could not be read.
    bool isValid() const { return known_ != 0; }
    // The thread may run from now on (see the class comment).
    void freeze() { frozen_ = true; }
    // The register by libunwind's x86-64 number; false when not known, and
    // missedRegister is then set.
    bool reg(unw_regnum_t number, unw_word_t& value);
    // One word of memory, from the snapshot when it holds it.
    bool word(unw_word_t address, unw_word_t& value);
    // Bytes from the snapshot's start that the unwinder has read so far.
    size_t used() const { return used_; }

    // The first read covers what most call chains use; deeper ones grow it
    // in chunks of the same size, up to the reach.
    static constexpr size_t kChunk = 16 * 1024;
    static constexpr size_t kReach = 1024 * 1024;

    pid_t tid;
    // Set when a step asked for a register that is not known.
    bool missedRegister = false;
    // Set when a frozen snapshot was asked for stack it does not hold.
    bool overflowed = false;
    // Words read outside the snapshot, for the benchmarks.
    unsigned long wordReads = 0;

   private:
    static constexpr int kRegisterCount = 17;
    // Reads `length` bytes from the stack pointer (less the red zone below
    // it) onwards.
    void _read(unw_word_t sp, size_t length);
    // Grows the snapshot to cover `address`, if it lies within reach.
    bool _grow(unw_word_t address);

    unw_word_t registers_[kRegisterCount] = {};
    uint32_t known_ = 0;
    unw_word_t base_ = 0;
    std::vector<unsigned char> stack_;
    bool exhausted_ = false;
    bool frozen_ = false;
    size_t used_ = 0;
  };

  // For the life of the object, unwinding on this thread reads registers
  // and memory from `snapshot` (instead of ptrace requests to the thread).
  class ThreadScope {
   public:
    explicit ThreadScope(Snapshot& snapshot);
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;
  };

  // The user pointer of a space made by this class; null for any other.
  static void* userPointer(unw_addr_space_t space);
  static void setUserPointer(unw_addr_space_t space, void* pointer);
  // The accessors of a space made by this class; null for any other.
  static const Accessors* accessorsForSpace(unw_addr_space_t space);

 private:
  static int _accessMem(unw_addr_space_t space, unw_word_t address, unw_word_t* value, int write, void* arg);
  static int _accessReg(unw_addr_space_t space, unw_regnum_t reg, unw_word_t* value, int write, void* arg);
  static int _findProcInfo(unw_addr_space_t space, unw_word_t ip, unw_proc_info_t* info, int needUnwindInfo,
                           void* arg);

  Accessors accessors_;
  unw_addr_space_t space_ = nullptr;
};

}  // namespace Quorvel
