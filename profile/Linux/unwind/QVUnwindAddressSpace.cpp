#include "Linux/unwind/QVUnwindAddressSpace.h"

#include <libunwind-ptrace.h>
#include <sys/uio.h>

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

// The blocked thread the current thread is unwinding, if any.
thread_local QVUnwindAddressSpace::BlockedThreadScope* t_blocked = nullptr;

}  // namespace

QVUnwindAddressSpace::BlockedThreadScope::BlockedThreadScope(pid_t tid_, unw_word_t ip_, unw_word_t sp_)
    : tid(tid_), ip(ip_), sp(sp_) {
  t_blocked = this;
}

QVUnwindAddressSpace::BlockedThreadScope::~BlockedThreadScope() { t_blocked = nullptr; }

int QVUnwindAddressSpace::_accessMem(unw_addr_space_t space, unw_word_t address, unw_word_t* value, int write,
                                     void* arg) {
  const BlockedThreadScope* blocked = t_blocked;
  if (blocked == nullptr) {
    return _UPT_access_mem(space, address, value, write, arg);
  }
  if (write != 0) {
    return -UNW_EINVAL;
  }
  iovec local{value, sizeof(*value)};
  iovec remote{reinterpret_cast<void*>(address), sizeof(*value)};
  return ::process_vm_readv(blocked->tid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof(*value))
             ? 0
             : -UNW_EINVAL;
}

int QVUnwindAddressSpace::_accessReg(unw_addr_space_t space, unw_regnum_t reg, unw_word_t* value, int write,
                                     void* arg) {
  BlockedThreadScope* blocked = t_blocked;
  if (blocked == nullptr) {
    return _UPT_access_reg(space, reg, value, write, arg);
  }
  if (write != 0) {
    return -UNW_EINVAL;
  }
  if (reg == UNW_X86_64_RIP) {
    *value = blocked->ip;
    return 0;
  }
  if (reg == UNW_X86_64_RSP) {
    *value = blocked->sp;
    return 0;
  }
  blocked->missedRegister = true;
  return -UNW_EBADREG;
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
