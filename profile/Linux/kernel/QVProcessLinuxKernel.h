#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/QVProcess.h"
#include "ranges/QVRangeMap.h"

namespace Quorvel {

class QVKernelModuleLinux;
class QVThreadLinuxKernel;

// The running kernel as a process with native id 0: its "modules" are the
// kernel image ("vmlinux") and every loaded kernel module, placed from
// /proc/modules and given symbols from /proc/kallsyms, so that kernel-mode
// samples resolve like user ones. Its section map holds the one code section
// of each module at the module's kernel addresses.
//
// Reading kernel addresses needs root and unrestricted kernel pointers: the
// constructor runs as root and lifts kernel.kptr_restrict when it is set
// (and leaves it lifted, as later readers need it too).
//
// Missing or unreadable /proc files are logged and leave the maps empty:
// kernel addresses then resolve to nothing, and sampling goes on.
//
// Everything is loaded in the constructor, before the object is shared;
// afterwards it is only read.
class QVProcessLinuxKernel : public QVProcess {
 public:
  using ModuleMap = QVRangeMap<unsigned long, std::shared_ptr<QVKernelModuleLinux>>;

  // The kernel process of this machine, created and registered (with its
  // idle thread, native id 0) on the first call; later calls return it.
  // The first call with `loadNow` reads the modules and symbols, also when
  // an earlier call made the process without them (a session file read
  // first, its kernel frames resolved later).
  static std::shared_ptr<QVProcessLinuxKernel> currentKernelProcess(bool loadNow);

  // Creates and registers the kernel image module. With `loadNow`, reads
  // the modules and then the symbols.
  QVProcessLinuxKernel(const QVProcessId& processId, const std::string& name, const std::string& executablePath,
                       bool loadNow);
  ~QVProcessLinuxKernel() override;

  // Never a debugger: the kernel is not a process one can attach to.
  std::shared_ptr<QVDebugger> debugger() const override;
  // Always running on this machine; never elsewhere.
  bool isRunning() const override;
  // The kernel's times never change.
  void _updateProcessTimeInfo() const override;

  const std::shared_ptr<QVKernelModuleLinux>& kernelImage() const { return kernelImage_; }
  const ModuleMap& moduleMap() const { return moduleMap_; }
  // In /proc/modules order.
  const std::vector<std::shared_ptr<QVKernelModuleLinux>>& modules() const { return modules_; }

  // Reads /proc/modules into the module map and list.
  void _loadKernelModules();
  // Reads /proc/kallsyms into the modules' symbols, fixes the image's range
  // and places every module's code section in the section map.
  void _loadKernelSymbols();

 private:
  void _placeSections(const QVKernelModuleLinux& module);
  void _load();

  std::shared_ptr<QVKernelModuleLinux> kernelImage_;
  bool loaded_ = false;
  ModuleMap moduleMap_;
  std::vector<std::shared_ptr<QVKernelModuleLinux>> modules_;

  static std::shared_ptr<QVProcessLinuxKernel> kernelProcess;
  static std::shared_ptr<QVThreadLinuxKernel> kernelThread;
  static std::mutex initLock;
};

}  // namespace Quorvel
