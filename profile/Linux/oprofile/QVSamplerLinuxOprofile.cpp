#include "Linux/oprofile/QVSamplerLinuxOprofile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "Linux/driver/QVDriverBuffer.h"
#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVDriverSampleDecoder.h"
#include "Linux/oprofile/QVOprofileStreamTranslator.h"
#include "Linux/oprofile/QVProfileDriverLinuxOprofile.h"
#include "Linux/process/QVProcessLinux.h"
#include "Linux/process/QVThreadLinux.h"
#include "base/QVLog.h"
#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/elf/QVModuleElf.h"
#include "system/QVEffectiveUser.h"
#include "system/QVMachine.h"

namespace Quorvel {

bool QVSamplerLinuxOprofile::debug_ = std::getenv("QV_DEBUG_OPROFILE") != nullptr;

namespace {

// Files added to a process that never mapped them go above everything it
// has, each on a boundary of its own.
constexpr uint64_t kAddedModuleFloor = 0x10000000;
constexpr uint64_t kAddedModuleAlignment = 0x100000;

std::string Hex(uint64_t value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

// The file behind a mapping's name: not a device, without the kernel's and
// prelink's decorations.
std::string FileOfMapping(std::string path) {
  const std::string deleted = " (deleted)";
  if (path.size() >= deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
    path.resize(path.size() - deleted.size());
  }
  const size_t prelink = path.find(".#prelink#");
  if (prelink != std::string::npos) path.resize(prelink);
  return path;
}

}  // namespace

QVSamplerLinuxOprofile::QVSamplerLinuxOprofile(const std::shared_ptr<QVSessionConfig>& config)
    : QVSamplerLinuxOprofile(config, QVProfileDriverLinuxOprofile::defaultDriver()) {}

QVSamplerLinuxOprofile::QVSamplerLinuxOprofile(const std::shared_ptr<QVSessionConfig>& config,
                                               const std::shared_ptr<QVProfileDriverLinuxOprofile>& driver)
    : QVSamplerLinuxOprofile(config, driver, driver && driver->isLoaded()) {}

QVSamplerLinuxOprofile::QVSamplerLinuxOprofile(const std::shared_ptr<QVSessionConfig>& config,
                                               const std::shared_ptr<QVProfileDriverLinuxOprofile>& driver,
                                               bool wasLoaded)
    : QVSamplerLinuxQVProfile(config, std::static_pointer_cast<QVProfileDriverLinux>(driver), true), oprofile_(driver) {
  // The configuration may have reloaded the module in the mode it needs.
  if (oprofile_ && !wasLoaded && oprofile_->isLoaded()) _setLoadedDriver();
}

bool QVSamplerLinuxOprofile::_start() {
  cookiePaths_.clear();
  placements_.clear();
  // Loaded here in the mode the configuration needs, not the default one.
  if (oprofile_ && !oprofile_->isLoaded() && config()) {
    oprofile_->setConfig(config());
    if (oprofile_->isLoaded()) _setLoadedDriver();
  }
  return QVSamplerLinuxQVProfile::_start();
}

std::string QVSamplerLinuxOprofile::_dcookieToModulePath(uint64_t cookie) {
  if (cookie == ~uint64_t(0) || (buffer_ && !buffer_->is64() && cookie == 0xffffffffull)) return "INVALID_COOKIE";
  if (cookie == kOprofileNoCookie) return "NO_COOKIE";
  auto cached = cookiePaths_.find(cookie);
  if (cached != cookiePaths_.end() && !cached->second.empty()) return cached->second;
  std::string path;
  if (!oprofile_ || !oprofile_->filesystem()->lookupDcookie(cookie, path)) {
    QV_DEBUG("failed to lookup dcookie 0x" << Hex(cookie));
    path.clear();
  }
  cookiePaths_[cookie] = path;
  return path;
}

std::vector<QVSamplerLinuxOprofile::Placement> QVSamplerLinuxOprofile::_placements(uint64_t tgid,
                                                                                   const std::string& mapped) {
  std::vector<Placement> placements;
  const std::shared_ptr<QVProcess> process = QVProcess::processWithNativeIdentifier(int(tgid), false, true);
  if (!process) return placements;
  const std::string path = FileOfMapping(mapped);
  std::vector<QVRange<unsigned long>> ranges;
  std::vector<std::shared_ptr<QVSection>> sections;
  process->sectionMap().SWIG_getRanges(ranges);
  process->sectionMap().SWIG_getValues(sections);
  uint64_t highest = 0;
  for (size_t i = 0; i < ranges.size() && i < sections.size(); ++i) {
    highest = std::max<uint64_t>(highest, ranges[i].location + ranges[i].length);
    const std::shared_ptr<QVSection>& section = sections[i];
    if (!section || section->fileRange().length <= 0) continue;
    const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(section->sectionId().asModuleId());
    if (!module || module->path() != path) continue;
    placements.push_back(
        {uint64_t(section->fileRange().location), uint64_t(section->fileRange().length), ranges[i].location});
  }
  if (!placements.empty()) return placements;

  // The process never showed this file: add it.
  if (path.compare(0, 5, "/dev/") == 0) return placements;
  const std::shared_ptr<QVModule> module = QVModuleElf::moduleForFile(path);
  if (!module) return placements;
  uint64_t lowest = UINT64_MAX;
  for (const std::shared_ptr<QVSection>& section : module->sections()) {
    if (section->isExecutable() && section->addressRange().length > 0) {
      lowest = std::min<uint64_t>(lowest, section->addressRange().location);
    }
  }
  if (lowest == UINT64_MAX) return placements;
  const uint64_t base = (std::max(highest, kAddedModuleFloor) + kAddedModuleAlignment - 1) / kAddedModuleAlignment *
                        kAddedModuleAlignment;
  for (const std::shared_ptr<QVSection>& section : module->sections()) {
    const QVRange<unsigned long>& range = section->addressRange();
    if (!section->isExecutable() || range.length == 0 || section->fileRange().length <= 0) continue;
    const uint64_t address = base + (range.location - lowest);
    process->setSectionAtAddressRange(section, QVRange<unsigned long>(address, range.length));
    placements.push_back({uint64_t(section->fileRange().location), uint64_t(section->fileRange().length), address});
  }
  QV_DEBUG("[" << driver()->name() << "] added module " << path
               << (process->isRunning() ? " to process " : " to dead process ") << tgid);
  return placements;
}

bool QVSamplerLinuxOprofile::_locate(uint64_t tgid, uint64_t cookie, uint64_t offset, uint64_t& address) {
  const auto key = std::make_pair(tgid, cookie);
  auto found = placements_.find(key);
  if (found == placements_.end()) {
    const std::string path = _dcookieToModulePath(cookie);
    // Asked again for the next sample: the driver may know it by then.
    if (path.empty()) return false;
    found = placements_.emplace(key, _placements(tgid, path)).first;
  }
  for (const Placement& placement : found->second) {
    if (offset >= placement.fileOffset && offset - placement.fileOffset < placement.length) {
      address = placement.address + (offset - placement.fileOffset);
      return true;
    }
  }
  return false;
}

void QVSamplerLinuxOprofile::_registerContext(uint64_t tgid, uint64_t tid) {
  if (QVThread::threadWithNativeIdentifier(int(tgid), long(tid), false, false)) return;
  // A task that started after the last refresh may still be running.
  const QVProcessId updated = QVProcess::updateProcessList(int(tgid), true);
  if (updated.isValid()) QVThread::updateThreadListForProcess(updated, true);
  if (QVThread::threadWithNativeIdentifier(int(tgid), long(tid), false, false)) return;
  const std::string prefix = "[" + driver()->name();
  std::shared_ptr<QVProcess> process = QVProcess::processWithNativeIdentifier(int(tgid), false, false);
  if (!process) {
    // A placeholder that started at boot: any process of the pid that
    // the model learns of later is the later started one.
    const QVProcessId id =
        QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), int64_t(tgid), LocalMachineBootTime());
    QVProcess::registerProcess(std::make_shared<QVProcessLinux>(id, std::string(), std::string()));
    process = QVProcess::processWithId(id, false, false);
    if (!process) return;
    QV_DEBUG(prefix << "] OP_CTX_TGID_CODE - registered fake process: " << id);
  }
  const QVThreadId threadId = QVThreadId::uniqueThreadId(process->processId(), int64_t(tid), LocalMachineBootTime());
  QVThread::registerThread(std::make_shared<QVThreadLinux>(threadId));
  QV_DEBUG(prefix << "] OP_CTX_TGID_CODE - registered fake thread: " << threadId);
}

bool QVSamplerLinuxOprofile::_decodeFileBuffer(QVDriverBufferCursorMemory& words, QVDriverSampleDecoder& decoder,
                                               uint64_t& processed) {
  const bool is64 = buffer_->is64();
  const std::string prefix = "[" + driver()->name();
  QVOprofileStreamTranslator translator([this](uint64_t tgid, uint64_t cookie, uint64_t offset,
                                               uint64_t& address) { return _locate(tgid, cookie, offset, address); },
                                        [this](uint64_t tgid, uint64_t tid) { _registerContext(tgid, tid); },
                                        [&prefix](bool warning, const std::string& line) {
                                          const std::string text = line.compare(0, 1, "]") == 0 ? prefix + line : line;
                                          if (warning) {
                                            QV_WARNING(text);
                                          } else if (debug_) {
                                            QV_DEBUG(text);
                                          }
                                        });
  QVDriverEventWriter translated(is64);
  const bool whole = translator.translate(words, is64, translated, processed);
  if (translator.droppedSamples() > 0) {
    QV_DEBUG(prefix << "] " << translator.droppedSamples() << " samples without a place in their process");
  }
  QVDriverBufferCursorMemory cursor(translated.bytes().data(), translated.recordCount(), is64);
  uint64_t decoded = 0;
  const bool complete = decoder.decode(cursor, is64, decoded);
  return whole && complete;
}

}  // namespace Quorvel
