#include "Linux/driver/QVSamplerLinuxQVProfile.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVDriverSampleDecoder.h"
#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "ids/QVContext.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "notify/QVNotificationIds.h"
#include "notify/QVSupportContact.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "system/QVEffectiveUser.h"
#include "system/QVMachine.h"
#include "time/QVTime.h"

namespace Quorvel {

bool QVSamplerLinuxQVProfile::debug_ = std::getenv("QV_DEBUG_QVPROFILE") != nullptr;

namespace {

// Fewer records than this cannot hold a meaningful recording.
constexpr uint64_t kMinimumRecords = 10;

}  // namespace

QVSamplerLinuxQVProfile::QVSamplerLinuxQVProfile(const std::shared_ptr<QVSessionConfig>& config)
    : QVSamplerLinuxQVProfile(config, QVProfileDriverLinuxQVProfile::defaultDriver()) {}

QVSamplerLinuxQVProfile::QVSamplerLinuxQVProfile(const std::shared_ptr<QVSessionConfig>& config,
                                                 const std::shared_ptr<QVProfileDriverLinuxQVProfile>& driver)
    : QVSamplerLinuxQVProfile(config, std::static_pointer_cast<QVProfileDriverLinux>(driver), false) {}

QVSamplerLinuxQVProfile::QVSamplerLinuxQVProfile(const std::shared_ptr<QVSessionConfig>& config,
                                                 const std::shared_ptr<QVProfileDriverLinux>& driver, bool)
    : QVSamplerLinux(config), driver_(driver), threadRefresh_(kThreadRefreshSeconds, true) {
  // Maps are read once per process, so a program that ends before the
  // recording does still has its frames resolved.
  threadRefresh_.expiryDelegate.addObserver([](QVTimer&) { QVThread::updateThreadList(true); });
  if (driver_) {
    setCollectCallStacks(true);
    setGatherKernelSymbols(true);
    setConfig(config);
    buffer_ = std::make_shared<QVDriverBufferWindow>(driver_->filesystem());
  }
}

QVSamplerLinuxQVProfile::~QVSamplerLinuxQVProfile() {
  if (isActive()) abort();
  threadRefresh_.cancel();
  _joinLimitThread();
  _joinReadThread();
  if (buffer_) buffer_->close();
  _unloadIfOurs();
}

bool QVSamplerLinuxQVProfile::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  if (isActive() || !QVSamplerLinux::setConfig(config)) return false;
  return !driver_ || driver_->setConfig(config);
}

uint64_t QVSamplerLinuxQVProfile::bufferedSampleCount() const { return buffer_ ? buffer_->totalSamples() : 0; }

bool QVSamplerLinuxQVProfile::_start() {
  if (!QVSamplerLinux::_start()) return false;
  if (!driver_ || !buffer_) {
    QV_ERROR("no profile driver");
    return false;
  }
  if (!driver_->isLoaded()) {
    if (!driver_->load({})) {
      QV_ERROR("failed to load profile driver");
      return false;
    }
    loadedDriver_ = true;
  }
  if (!driver_->init()) {
    QV_ERROR("failed to initialise profile driver");
    return false;
  }
  // The buffer's word size is the loaded module's.
  buffer_ = std::make_shared<QVDriverBufferWindow>(driver_->filesystem());
  driver_->setCollectCallstacks(collectCallStacks());
  if (driver_->collectCallstacks() != collectCallStacks()) {
    QV_WARNING("failed to " << (collectCallStacks() ? "enable" : "disable") << " callstack collection.");
  }
  if (!driver_->setup()) {
    QV_ERROR("failed to setup profile driver");
    return false;
  }
  if (!buffer_->open(driver_->config())) {
    QV_ERROR("failed to open event buffer");
    return false;
  }
  _startReadThread();
  startTime_ = CurrentUniversalTime();
  startTick_ = TimeNanos();
  threadRefresh_.start();
  if (!driver_->filesystem()->writeInt("enable", 1)) {
    QV_ERROR("failed to enable sampling");
    return false;
  }
  _startNotify();
  return true;
}

bool QVSamplerLinuxQVProfile::_stop() {
  const bool stopped = QVSamplerLinux::_stop();
  threadRefresh_.requestCancel();
  if (!driver_->filesystem()->writeInt("enable", 0)) {
    sessionErrors().setErrorId(QVSamplerLinuxErrorFailedToStop);
    throw QVException("failed to disable sampling", __LINE__, __FILE__);
  }
  endTick_ = TimeNanos();
  endTime_ = CurrentUniversalTime();
  buffer_->dump();
  _joinReadThread();
  if (!driver_->shutdown()) QV_WARNING("failed to shutdown profile driver");
  _stopNotify();
  QVThread::updateThreadList(false);
  return stopped;
}

bool QVSamplerLinuxQVProfile::_abort() {
  const bool aborted = QVSamplerLinux::_abort();
  threadRefresh_.requestCancel();
  _abortNotify();
  if (driver_) {
    if (!driver_->filesystem()->writeInt("enable", 0)) QV_WARNING("failed to disable sampling.");
    if (!driver_->shutdown()) QV_WARNING("failed to shutdown profile driver");
  }
  return aborted;
}

void QVSamplerLinuxQVProfile::_unloadIfOurs() {
  if (loadedDriver_ && driver_) driver_->unload();
  loadedDriver_ = false;
}

bool QVSamplerLinuxQVProfile::_collect() {
  if (!QVSamplerLinux::_collect()) return false;
  threadRefresh_.cancel();
  _joinLimitThread();
  _joinReadThread();
  if (buffer_->bufferOverflowed()) {
    sessionErrors().setWarningId(QVSamplerWarningBufferOverflow);
  } else if (buffer_->corrupted()) {
    sessionErrors().setWarningId(QVSamplerWarningBufferCorrupt);
  }
  const std::shared_ptr<QVSessionConfig> config = this->config();
  const bool insufficient = buffer_->recordCount() < kMinimumRecords;
  if (insufficient) sessionErrors().setErrorId(QVSamplerErrorInsufficientSamples);
  uint64_t kept = 0;
  for (const QVFileBufferId& file : buffer_->getFileBuffers()) kept += file.samples;
  if (config && config->sampleLimitEnable && buffer_->totalSamples() != kept) {
    sessionErrors().setWarningId(QVSamplerWarningSampleLimitReached);
  }
  const uint32_t adaptFactor = buffer_->adaptFactor();
  if (config && config->adaptiveEnable && adaptFactor > 1) {
    sessionErrors().setWarningId(QVSamplerWarningSamplingIntervalChanged);
  }
  const std::vector<QVFileBufferId> fileBuffers = buffer_->getFileBuffers();
  if (!insufficient) _processSamples(fileBuffers);
  buffer_->close();
  // Only now: the device stays open until the buffer is closed.
  _unloadIfOurs();
  if (config && adaptFactor != 1) {
    // The saved configuration shows the interval actually used.
    auto scaled = std::make_shared<QVSessionConfig>(config);
    scaled->scale(int(adaptFactor));
    QVSessionRecorder::setConfig(scaled);
  }
  const std::shared_ptr<QVSessionProfile>& profile = sessionProfile();
  if (!profile) return false;
  auto data = std::make_shared<QVSessionDataCallStackTenures>(sampleArchiver_);
  data->setBeginTime(startTime_);
  data->setEndTime(endTime_);
  data->setBeginTick(startTick_);
  data->setEndTick(endTick_);
  profile->setCallStackData(data);
  return true;
}

bool QVSamplerLinuxQVProfile::_decodeFileBuffer(QVDriverBufferCursorMemory& words, QVDriverSampleDecoder& decoder,
                                                uint64_t& processed) {
  return decoder.decode(words, buffer_->is64(), processed);
}

void QVSamplerLinuxQVProfile::_processSamples(const std::vector<QVFileBufferId>& fileBuffers) {
  if (!sampleArchiver_) return;
  const std::string prefix = "[" + driver_->name();
  auto log = [&prefix](QVDriverSampleDecoder::Level level, const std::string& line) {
    const std::string text = line.compare(0, 1, "]") == 0 ? prefix + line : line;
    switch (level) {
      case QVDriverSampleDecoder::Level::Debug:
        if (debug_) QV_DEBUG(text);
        break;
      case QVDriverSampleDecoder::Level::Warning:
        QV_WARNING(text);
        break;
      case QVDriverSampleDecoder::Level::Error:
        QV_ERROR(text);
        break;
    }
  };
  // Thread lookups are cached per (tgid, tid), misses too: a thread that
  // is unknown stays unknown for the whole decoding, and is warned of once.
  std::map<std::pair<uint64_t, uint64_t>, QVThreadId> threads;
  auto threadKnown = [&](uint64_t tgid, uint64_t tid) {
    const auto key = std::make_pair(tgid, tid);
    auto cached = threads.find(key);
    if (cached != threads.end()) return cached->second.isValid();
    QVThreadId id;
    const std::shared_ptr<QVThread> thread = QVThread::threadWithNativeIdentifier(int(tgid), long(tid), false, false);
    if (!thread) {
      QV_WARNING(prefix << "] OP_CTX_SWITCH_CODE - unknown thread - tid:" << tid << " tgid:" << tgid);
    } else if (uint64_t(thread->threadId().asProcessId().nativeIdentifier()) != tgid) {
      QV_WARNING(prefix << "] OP_CTX_SWITCH_CODE - tid:" << tid << " tgid:" << tgid
                        << " doesn't match registered thread " << thread);
    } else {
      id = thread->threadId();
    }
    threads.emplace(key, id);
    return id.isValid();
  };
  const std::shared_ptr<QVSessionConfig> config = this->config();
  const double interval = config ? config->timerConfig->interval : 0.001;
  QVDriverSampleDecoder decoder(LocalMachineProcessorCount(), uint64_t(interval * 1e9), log, threadKnown);
  // The kernel's symbols are loaded once, before any of its samples.
  QVProcess::kernelProcessForSystem(QVSystemId::currentSystemId(), false);

  for (const QVFileBufferId& file : fileBuffers) {
    QV_DEBUG("processing file buffer " << file.path << " consisting of " << file.records << " records, " << file.samples
                                       << " samples");
    std::string error;
    std::unique_ptr<QVDriverBufferCursorMapped> cursor;
    {
      QVEffectiveUser root(0, 0);
      cursor = QVDriverBufferCursorMapped::open(file.path, buffer_->is64(), error);
    }
    if (!cursor) {
      QV_ERROR("failed to open file \"" << file.path << "\"" << (error.empty() ? "" : " - " + error));
      continue;
    }
    uint64_t processed = 0;
    if (_decodeFileBuffer(*cursor, decoder, processed)) {
      QV_DEBUG("finished processing samples from " << file.path << " with " << processed << " of " << file.records
                                                   << " records processed");
    } else {
      QV_WARNING("Processing of samples from "
                 << file.path << " was aborted with " << processed << " of " << file.records
                 << " records processed.  Please send the contents of this file to " << kQVSupportContact);
    }
    if (file.corrupt && !sessionErrors().testWarningId(QVSamplerWarningBufferCorrupt)) {
      QV_ERROR("inconsistent buffer corruption");
    }
  }
  decoder.finish();

  for (const QVDriverSample& sample : decoder.samples()) {
    const QVThreadId& thread = threads[std::make_pair(sample.tgid, sample.tid)];
    if (!thread.isValid()) continue;
    const uint64_t begin = sample.beginTimestamp > startTick_ ? sample.beginTimestamp - startTick_ : 0;
    const uint64_t end = sample.endTimestamp > startTick_ ? sample.endTimestamp - startTick_ : 0;
    // A sample taken in the kernel keeps the user callers that entered
    // it after its kernel frames; its supervisor context resolves each
    // frame through the kernel or the thread's process as the address
    // belongs.
    const int state = sample.kernelFrames > 0 ? QVContext::StateSupervisor : QVContext::StateUser;
    sampleArchiver_->archive(QVContext::uniqueContext(thread, int(sample.processor), state), begin, end,
                             sample.addresses);
  }
}

}  // namespace Quorvel
