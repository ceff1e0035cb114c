#include "Linux/kernel/QVProcessLinuxKernel.h"

#include <exception>
#include <optional>
#include <string_view>
#include <utility>

#include "base/QVException.h"
#include "base/QVLog.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "Linux/kernel/QVKernelModuleLinux.h"
#include "Linux/kernel/QVThreadLinuxKernel.h"
#include "model/QVProcessDiscovery.h"
#include "proc/QVProcKallsymsParser.h"
#include "proc/QVProcModulesParser.h"
#include "proc/QVTextReader.h"
#include "symbols/QVSection.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"
#include "time/QVStopwatch.h"

namespace Quorvel {

std::shared_ptr<QVProcessLinuxKernel> QVProcessLinuxKernel::kernelProcess;
std::shared_ptr<QVThreadLinuxKernel> QVProcessLinuxKernel::kernelThread;
std::mutex QVProcessLinuxKernel::initLock;

namespace {

// Without a loaded module above it, the image is given a generous 1 GiB
// until its last symbol tells where it really ends.
constexpr unsigned long kProvisionalImageLength = 0x40000000UL;

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

void LogCaught(const QVException& exception) {
  if (exception.stackTrace().empty()) {
    QV_ERROR(exception.message() << " at " << exception.sourceFile() << ":" << exception.line());
  } else {
    QV_ERROR(exception.message() << " at " << exception.sourceFile() << ":" << exception.line()
                                 << "\nStack Trace: " << exception.stackTrace());
  }
}


}  // namespace

std::shared_ptr<QVProcessLinuxKernel> QVProcessLinuxKernel::currentKernelProcess(bool loadNow) {
  std::lock_guard<std::mutex> lock(initLock);
  if (kernelProcess) {
    if (loadNow && !kernelProcess->loaded_) {
      QVEffectiveUser root(0, 0);
      kernelProcess->_load();
    }
    return kernelProcess;
  }
  const uint64_t bootTime = LocalMachineBootTime();
  const QVProcessId processId = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 0, bootTime);
  const QVThreadId threadId = QVThreadId::uniqueThreadId(processId, 0, bootTime);
  auto process = std::make_shared<QVProcessLinuxKernel>(processId, "vmlinux", "vmlinux", loadNow);
  auto thread = std::make_shared<QVThreadLinuxKernel>(threadId);
  // A session file of this very boot may have registered its own record of
  // the kernel; the live object is still the one to use.
  try {
    QVProcess::registerProcess(process);
  } catch (const QVException& exception) {
    LogCaught(exception);
  }
  try {
    QVThread::registerThread(thread);
  } catch (const QVException& exception) {
    LogCaught(exception);
  }
  kernelProcess = process;
  kernelThread = thread;
  return kernelProcess;
}

QVProcessLinuxKernel::QVProcessLinuxKernel(const QVProcessId& processId, const std::string& name,
                                           const std::string& executablePath, bool loadNow)
    : QVProcess(processId, name, executablePath) {
  mutableProperties().setString(PROPERTY_PROCESS_TYPE, VAL_PROCESS_KERNEL);

  kernelImage_ = std::make_shared<QVKernelModuleLinux>(QVKernelModuleLinux::kKernelImageName,
                                                       QVRange<unsigned long>(0, 0));
  try {
    QVModule::registerModule(kernelImage_);
  } catch (const QVException& exception) {
    LogCaught(exception);
  }

  QVEffectiveUser root(0, 0);
  if (GetRestrictedKernelPointers() > 0) {
    QV_DEBUG("disabling restriction on reading kernel pointers");
    SetRestrictedKernelPointers(0);
  }
  if (loadNow) {
    _load();
  }
}

void QVProcessLinuxKernel::_load() {
  loaded_ = true;
  QVStopwatch stopwatch;
  stopwatch.start();
  _loadKernelModules();
  stopwatch.stop();
  QV_DEBUG("loaded kernel modules in " << stopwatch.elapsed() << " seconds");
  stopwatch.start();
  _loadKernelSymbols();
  stopwatch.stop();
  QV_DEBUG("loaded kernel symbols in " << stopwatch.elapsed() << " seconds");
}

QVProcessLinuxKernel::~QVProcessLinuxKernel() = default;

std::shared_ptr<QVDebugger> QVProcessLinuxKernel::debugger() const { return nullptr; }

bool QVProcessLinuxKernel::isRunning() const {
  return processId().asSystemId() == QVSystemId::currentSystemId();
}

void QVProcessLinuxKernel::_updateProcessTimeInfo() const {}

void QVProcessLinuxKernel::_loadKernelModules() {
  const std::string path = QVSystemPaths::path("/proc/modules");
  if (!FileExists(path)) {
    QV_ERROR("/proc/modules does not exist");
    return;
  }
  std::string text;
  if (!FileReadString(path, text)) {
    QV_ERROR("failed to open /proc/modules");
    return;
  }
  QVTextReader reader(text);
  std::string_view line;
  while (reader.nextLine(line)) {
    // Lines the parser rejects lack a name and size, or are not something
    // the kernel writes; modules being loaded or unloaded have no stable
    // place yet. Neither is a module to map.
    std::optional<QVProcModuleEntry> entry = QVProcModulesParser::parseLine(line);
    if (!entry || !entry->isLive() || !entry->loadAddress) {
      continue;
    }
    const QVRange<unsigned long> range(*entry->loadAddress, entry->size);
    if (entry->name.empty()) {
      QV_WARNING("skipping kernel module with empty name at " << range);
      continue;
    }
    if (entry->size == 0) {
      QV_WARNING("skipping kernel module " << Quoted(entry->name) << " with zero-length range at " << range);
      continue;
    }
    std::shared_ptr<QVKernelModuleLinux> module;
    try {
      module = std::make_shared<QVKernelModuleLinux>(entry->name, range);
    } catch (const std::exception&) {
      QV_WARNING("skipping invalid kernel module " << Quoted(entry->name) << " at " << range);
      continue;
    }
    if (QVModule::moduleWithId(module->moduleId())) {
      QV_WARNING("skipping duplicate kernel module " << Quoted(entry->name) << " at " << range);
      continue;
    }
    QVModule::registerModule(module);
    moduleMap_.setValueForRange(module, range);
    modules_.push_back(module);
  }
}

void QVProcessLinuxKernel::_loadKernelSymbols() {
  const std::string path = QVSystemPaths::path("/proc/kallsyms");
  if (!FileExists(path)) {
    QV_ERROR("/proc/kallsyms does not exist");
    return;
  }
  std::string text;
  if (!FileReadString(path, text)) {
    QV_ERROR("failed to open /proc/kallsyms");
    return;
  }

  const QVRange<unsigned long> loadedModules = moduleMap_.enclosingRange();
  bool haveImageStart = false;
  unsigned long imageStart = 0;
  unsigned long imageHighest = 0;
  std::string name;
  QVProcKallsymsParser::forEach(text, [&](const QVProcKallsymsEntry& entry) {
    if (!entry.isFunction()) {
      return;
    }
    const unsigned long address = entry.address;
    const QVSymbol::Visibility visibility =
        entry.type == 't' ? QVSymbol::VisibilityLocal : QVSymbol::VisibilityGlobal;
    name.assign(entry.name.data(), entry.name.size());
    if (entry.module.empty()) {
      if (!haveImageStart) {
        haveImageStart = true;
        imageStart = address;
        imageHighest = address;
        const bool moduleAbove = !moduleMap_.isEmpty() && loadedModules.location > address;
        kernelImage_->setAddressRange(QVRange<unsigned long>(
            address, moduleAbove ? loadedModules.location - address : kProvisionalImageLength));
      } else if (address > imageHighest) {
        imageHighest = address;
      }
      kernelImage_->_addSymbolAtAddress(address, name, QVSymbol::TypeCode, visibility);
      return;
    }
    if (const std::shared_ptr<QVKernelModuleLinux>& module = moduleMap_.valueForLocation(address, true)) {
      module->_addSymbolAtAddress(address, name, QVSymbol::TypeCode, visibility);
    }
  });

  if (haveImageStart) {
    const QVRange<unsigned long> imageRange(imageStart, imageHighest - imageStart);
    kernelImage_->setAddressRange(imageRange);
    QV_DEBUG("kernel address range determined: " << imageRange);
  }
  kernelImage_->_fixSymbolRanges();
  _placeSections(*kernelImage_);
  for (const std::shared_ptr<QVKernelModuleLinux>& module : modules_) {
    module->_fixSymbolRanges();
    _placeSections(*module);
  }
}

void QVProcessLinuxKernel::_placeSections(const QVKernelModuleLinux& module) {
  for (const std::shared_ptr<QVSection>& section : module.sections()) {
    if (section->isExecutable() && !section->addressRange().isEmpty()) {
      setSectionAtAddressRange(section, section->addressRange());
    }
  }
}

}  // namespace Quorvel
