#include "Linux/unwind/QVUnwindAddressSpace.h"

#include <libunwind-ptrace.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/user.h>

#include <algorithm>
#include <cstring>

#include <climits>
#include <mutex>
#include <unordered_map>

namespace Quorvel {

namespace {

struct SpaceEntry {
  void* userPointer;
  const QVUnwindAddressSpace::Accessors* accessors;
};

// Callbacks run on whichever thread unwinds; spaces come and go with their
// debuggers on others.
std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<unw_addr_space_t, SpaceEntry>& Registry() {
  static std::unordered_map<unw_addr_space_t, SpaceEntry> registry;
  return registry;
}

// What the current thread is unwinding from, if anything.
thread_local QVUnwindAddressSpace::Snapshot* t_snapshot = nullptr;

// Stack taken below the stack pointer: the red zone a leaf function may use
// without moving the pointer.
constexpr unw_word_t kRedZone = 128;

}  // namespace

QVUnwindAddressSpace::Snapshot::Snapshot(pid_t tid_, unw_word_t ip, unw_word_t sp, size_t length) : tid(tid_) {
  registers_[UNW_X86_64_RIP] = ip;
  registers_[UNW_X86_64_RSP] = sp;
  known_ = (1u << UNW_X86_64_RIP) | (1u << UNW_X86_64_RSP);
  _read(sp, length);
}

QVUnwindAddressSpace::Snapshot::Snapshot(pid_t tid_, size_t length) : tid(tid_) {
  user_regs_struct regs{};
  if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == -1) {
    return;
  }
  const unsigned long long values[kRegisterCount] = {regs.rax, regs.rdx, regs.rcx, regs.rbx, regs.rsi, regs.rdi,
                                                     regs.rbp, regs.rsp, regs.r8,  regs.r9,  regs.r10, regs.r11,
                                                     regs.r12, regs.r13, regs.r14, regs.r15, regs.rip};
  for (int i = 0; i < kRegisterCount; ++i) {
    registers_[i] = static_cast<unw_word_t>(values[i]);
  }
  known_ = (1u << kRegisterCount) - 1;
  _read(registers_[UNW_X86_64_RSP], length);
}

bool QVUnwindAddressSpace::Snapshot::reg(unw_regnum_t number, unw_word_t& value) {
  if (number < 0 || number >= kRegisterCount || (known_ & (1u << number)) == 0) {
    missedRegister = true;
    return false;
  }
  value = registers_[number];
  return true;
}

void QVUnwindAddressSpace::Snapshot::_read(unw_word_t sp, size_t length) {
  base_ = sp > kRedZone ? sp - kRedZone : sp;
  stack_.resize(std::min(std::max(length, kChunk), kReach));
  iovec local{stack_.data(), stack_.size()};
  iovec remote{reinterpret_cast<void*>(base_), stack_.size()};
  // A partial read ends at the first unmapped page: the top of the stack.
  ssize_t count = ::process_vm_readv(tid, &local, 1, &remote, 1, 0);
  if (count < 0 && base_ != sp) {
    base_ = sp;
    remote.iov_base = reinterpret_cast<void*>(base_);
    count = ::process_vm_readv(tid, &local, 1, &remote, 1, 0);
  }
  const size_t got = count > 0 ? static_cast<size_t>(count) : 0;
  exhausted_ = got < stack_.size();
  stack_.resize(got);
}

bool QVUnwindAddressSpace::Snapshot::_grow(unw_word_t address) {
  if (exhausted_ || address < base_ + stack_.size() || address - base_ >= kReach) {
    return false;
  }
  if (frozen_) {
    overflowed = true;
    return false;
  }
  const size_t have = stack_.size();
  const size_t want = std::min(kReach, ((address - base_) / kChunk + 1) * kChunk);
  stack_.resize(want);
  iovec local{stack_.data() + have, want - have};
  iovec remote{reinterpret_cast<void*>(base_ + have), want - have};
  const ssize_t count = ::process_vm_readv(tid, &local, 1, &remote, 1, 0);
  const size_t got = count > 0 ? static_cast<size_t>(count) : 0;
  exhausted_ = got < want - have;
  stack_.resize(have + got);
  return address >= base_ && address - base_ + sizeof(unw_word_t) <= stack_.size();
}

bool QVUnwindAddressSpace::Snapshot::word(unw_word_t address, unw_word_t& value) {
  const auto inside = [this](unw_word_t at) {
    return at >= base_ && at - base_ <= stack_.size() && stack_.size() - (at - base_) >= sizeof(unw_word_t);
  };
  if (inside(address) || _grow(address)) {
    std::memcpy(&value, stack_.data() + (address - base_), sizeof(value));
    used_ = std::max(used_, static_cast<size_t>(address - base_ + sizeof(value)));
    return true;
  }
  if (overflowed) {
    return false;
  }
  ++wordReads;
  iovec local{&value, sizeof(value)};
  iovec remote{reinterpret_cast<void*>(address), sizeof(value)};
  return ::process_vm_readv(tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof(value));
}

QVUnwindAddressSpace::ThreadScope::ThreadScope(Snapshot& snapshot) { t_snapshot = &snapshot; }

QVUnwindAddressSpace::ThreadScope::~ThreadScope() { t_snapshot = nullptr; }

int QVUnwindAddressSpace::_accessMem(unw_addr_space_t space, unw_word_t address, unw_word_t* value, int write,
                                     void* arg) {
  Snapshot* snapshot = t_snapshot;
  if (snapshot == nullptr) {
    return _UPT_access_mem(space, address, value, write, arg);
  }
  if (write != 0) {
    return -UNW_EINVAL;
  }
  return snapshot->word(address, *value) ? 0 : -UNW_EINVAL;
}

int QVUnwindAddressSpace::_accessReg(unw_addr_space_t space, unw_regnum_t reg, unw_word_t* value, int write,
                                     void* arg) {
  Snapshot* snapshot = t_snapshot;
  if (snapshot == nullptr) {
    return _UPT_access_reg(space, reg, value, write, arg);
  }
  if (write != 0) {
    return -UNW_EINVAL;
  }
  return snapshot->reg(reg, *value) ? 0 : -UNW_EBADREG;
}

QVUnwindAddressSpace::QVUnwindAddressSpace(ElfPathAccessor getElfPath, void* userPointer)
    : accessors_{_UPT_accessors, getElfPath} {
  accessors_.unwind.find_proc_info = &QVUnwindAddressSpace::_findProcInfo;
  accessors_.unwind.access_mem = &QVUnwindAddressSpace::_accessMem;
  accessors_.unwind.access_reg = &QVUnwindAddressSpace::_accessReg;
  space_ = unw_create_addr_space(&accessors_.unwind, 0);
  if (space_ == nullptr) {
    return;
  }
  unw_set_caching_policy(space_, UNW_CACHE_GLOBAL);
  std::lock_guard<std::mutex> lock(RegistryLock());
  Registry()[space_] = SpaceEntry{userPointer, &accessors_};
}

QVUnwindAddressSpace::~QVUnwindAddressSpace() {
  if (space_ == nullptr) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(RegistryLock());
    Registry().erase(space_);
  }
  unw_destroy_addr_space(space_);
}

void* QVUnwindAddressSpace::userPointer(unw_addr_space_t space) {
  std::lock_guard<std::mutex> lock(RegistryLock());
  const auto found = Registry().find(space);
  return found == Registry().end() ? nullptr : found->second.userPointer;
}

void QVUnwindAddressSpace::setUserPointer(unw_addr_space_t space, void* pointer) {
  std::lock_guard<std::mutex> lock(RegistryLock());
  const auto found = Registry().find(space);
  if (found != Registry().end()) {
    found->second.userPointer = pointer;
  }
}

const QVUnwindAddressSpace::Accessors* QVUnwindAddressSpace::accessorsForSpace(unw_addr_space_t space) {
  std::lock_guard<std::mutex> lock(RegistryLock());
  const auto found = Registry().find(space);
  return found == Registry().end() ? nullptr : found->second.accessors;
}

// libunwind asks this only on a miss of its rule cache, so the registry
// lookup is not on the per-frame path.
int QVUnwindAddressSpace::_findProcInfo(unw_addr_space_t space, unw_word_t ip, unw_proc_info_t* info,
                                        int needUnwindInfo, void* arg) {
  const Accessors* accessors = accessorsForSpace(space);
  if (accessors != nullptr && accessors->getElfPath != nullptr) {
    unw_word_t start = 0;
    unw_word_t offset = 0;
    char path[PATH_MAX];
    if (accessors->getElfPath(space, ip, &start, &offset, path, sizeof(path)) != 0) {
      return -UNW_ENOINFO;
    }
  }
  return _UPT_find_proc_info(space, ip, info, needUnwindInfo, arg);
}

}  // namespace Quorvel
