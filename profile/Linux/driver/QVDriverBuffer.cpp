#include "Linux/driver/QVDriverBuffer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "system/QVMachine.h"
#include "system/QVTempFile.h"

namespace Quorvel {

bool QVDriverBufferWindow::trace_ = std::getenv("QV_TRACE_DRIVER_BUFFER_WINDOW") != nullptr;

namespace {

uint64_t readWordSize(const QVDriverFilesystem& filesystem) {
  uint64_t size = 0;
  filesystem.readUnsigned("pointer_size", size);
  return size == 8 ? 8 : 4;
}

[[noreturn]] void fail(const std::string& root, const std::string& text, int line) {
  throw QVException("[" + root + text, line, __FILE__);
}

void traceLine(const std::string& line) { QV_DEBUG(line); }

std::unique_ptr<QVTempFile> createChunkFile(const std::string& root) {
  std::unique_ptr<QVTempFile> file = QVTempFile::create(std::string(), QVDriverFilesystem::TEMP_FILE_PREFIX);
  if (!file) fail(root, "] failed to create temporary file", __LINE__);
  return file;
}

}  // namespace

QVDriverBuffer::QVDriverBuffer(const std::shared_ptr<QVDriverFilesystem>& filesystem)
    : filesystem_(filesystem), wordSize_(readWordSize(*filesystem)), is64_(wordSize_ == 8) {}

QVDriverBuffer::~QVDriverBuffer() { QVDriverBuffer::close(); }

bool QVDriverBuffer::open() {
  close();
  uint64_t entries;
  if (filesystem_->readUnsigned("buffer_size", entries)) bufferEntries_ = entries;
  bufferBytes_ = bufferEntries_ * wordSize_;
  recordCount_ = 0;
  fd_ = -1;
  return filesystem_->openFileDescriptor("buffer", &fd_);
}

void QVDriverBuffer::close() {
  if (fd_ >= 0) {
    filesystem_->closeFileDescriptor(fd_);
    fd_ = -1;
  }
}

bool QVDriverBuffer::dump() {
  if (filesystem_->exists("dump")) return filesystem_->writeString("dump", "1");
  // The driver takes any 4-byte write to its device as a flush request.
  const uint32_t flush = 1;
  int done = 0;
  return fd_ >= 0 && filesystem_->writeFileDescriptor(fd_, &flush, sizeof flush, &done, false) && done == 4;
}

bool QVDriverBuffer::bufferOverflowed() const {
  const std::string& root = filesystem_->root();
  const std::string total = "stats/event_lost_overflow";
  uint64_t lost = 0;
  if (!filesystem_->readUnsigned(total, lost)) {
    QV_WARNING("[" << root << "] unable to open " << total << " to check for overflow");
    return true;
  }
  if (lost != 0) {
    QV_WARNING("[" << root << "] buffer has overflowed - " << lost << " records have been lost");
    return true;
  }
  if (!filesystem_->exists("stats/cpu0")) return false;
  const unsigned processors = LocalMachineProcessorCount();
  for (unsigned cpu = 0; cpu < processors; ++cpu) {
    const std::string entry = "stats/cpu" + std::to_string(cpu) + "/sample_lost_overflow";
    if (!filesystem_->readUnsigned(entry, lost)) {
      QV_WARNING("[" << root << "] unable to open " << entry << " to check for overflow");
      return true;
    }
    if (lost != 0) {
      QV_WARNING("[" << root << "] CPU" << cpu << " buffer has overflowed - " << lost << " records have been lost.");
      return true;
    }
  }
  return false;
}

QVDriverBufferSimple::QVDriverBufferSimple(const std::shared_ptr<QVDriverFilesystem>& filesystem)
    : QVDriverBuffer(filesystem) {}

QVDriverBufferSimple::~QVDriverBufferSimple() { QVDriverBufferSimple::close(); }

bool QVDriverBufferSimple::open() {
  const bool opened = QVDriverBuffer::open();
  output_.reset();
  output_ = createChunkFile(filesystem_->root());
  return opened;
}

int QVDriverBufferSimple::read() {
  const std::string& root = filesystem_->root();
  if (fd_ < 0) fail(root, "] invalid file descriptor", __LINE__);
  if (!output_) fail(root, "] invalid output file", __LINE__);
  chunk_.resize(bufferBytes_);
  int bytes = 0;
  if (!filesystem_->readFileDescriptor(fd_, chunk_.data(), chunk_.size(), &bytes, true))
    fail(root, "] failed to read file descriptor", __LINE__);
  const uint64_t records = uint64_t(bytes) / wordSize_;
  if (records > 0) {
    QV_DEBUG("[" << root << "] copying " << records << " records (" << bytes << " bytes) to " << output_->path());
    if (!output_->append(chunk_.data(), records * wordSize_))
      fail(root, "] failed to write to temporary file " + output_->path(), __LINE__);
    recordCount_ += records;
  }
  return bytes;
}

void QVDriverBufferSimple::close() { QVDriverBuffer::close(); }

std::string QVDriverBufferSimple::getFile() { return output_ ? output_->path() : std::string(); }

void QVDriverBufferSimple::discardFile() { output_.reset(); }

QVDriverBufferWindow::QVDriverBufferWindow(const std::shared_ptr<QVDriverFilesystem>& filesystem)
    : QVDriverBuffer(filesystem) {}

QVDriverBufferWindow::~QVDriverBufferWindow() { QVDriverBufferWindow::close(); }

bool QVDriverBufferWindow::open(const std::shared_ptr<QVSessionConfig>& config) {
  const bool opened = QVDriverBuffer::open();
  config_ = config;
  windowRecords_ = windowSamples_ = totalSamples_ = 0;
  adaptFactor_ = 1;
  corrupted_ = false;
  return opened;
}

int QVDriverBufferWindow::read() {
  const std::string& root = filesystem_->root();
  if (!config_) fail(root, "] invalid config", __LINE__);
  if (fd_ < 0) fail(root, "] invalid file descriptor", __LINE__);
  if (config_->adaptiveEnable && config_->adaptiveThreshold == 0)
    fail(root, "] invalid adaptive sampling threshold", __LINE__);
  if (config_->sampleLimitEnable && config_->sampleLimit == 0) fail(root, "] invalid sample limit", __LINE__);

  // One allocation of a whole buffer's worth, reused for every chunk.
  chunk_.resize(bufferBytes_);
  int bytes = 0;
  if (!filesystem_->readFileDescriptor(fd_, chunk_.data(), chunk_.size(), &bytes, true)) return -1;
  const uint64_t records = uint64_t(bytes) / wordSize_;
  if (records > 0) {
    QVDriverChunkScan scan = QVDriverChunkScan::scan(chunk_.data(), records, is64_,
                                                     trace_ && LogIsEnabled(QVLogLevel::Debug) ? traceLine : nullptr);
    if (scan.adaptSeen) adaptFactor_ = scan.adaptFactor;
    if (scan.corrupt) QV_WARNING("[" << root << "] " << scan.fault);

    QVFileBufferId file;
    file.file = createChunkFile(root);
    file.path = file.file->path();
    if (!file.file->append(chunk_.data(), records * wordSize_))
      fail(root, "] failed to write to temporary file " + file.path + " - " + std::strerror(errno), __LINE__);
    file.records = records;
    file.samples = scan.samples;
    file.corrupt = scan.corrupt;
    fileBuffers_.push_back(file);
    corrupted_ = corrupted_ || scan.corrupt;
    recordCount_ += records;
    windowRecords_ += records;
    windowSamples_ += scan.samples;
    totalSamples_ += scan.samples;
    QV_DEBUG("[" << root << "] added file buffer " << file.path << " consisting of " << records << " records, "
                 << scan.samples << " samples");
  }

  if (config_->adaptiveEnable && windowSamples_ > config_->adaptiveThreshold && filesystem_->exists("adapt")) {
    if (filesystem_->writeString("adapt", "1")) {
      windowRecords_ = windowSamples_ = 0;
    } else {
      QV_DEBUG("[" << root << "] unable to modify the sampling rate");
    }
  }

  if (config_->sampleLimitEnable) {
    switch (config_->sampleLimitAction) {
      case QVSessionConfig::SampleLimitActionWrap:
        _keepNewest(config_->sampleLimit);
        break;
      case QVSessionConfig::SampleLimitActionStop:
        if (windowSamples_ > config_->sampleLimit) return 0;
        break;
      default:
        QV_ERROR("[" << root << "] unknown sample limit action");
        fail(root, "] unknown sample limit action", __LINE__);
    }
  }
  return bytes;
}

void QVDriverBufferWindow::_keepNewest(uint64_t limit) {
  const std::string& root = filesystem_->root();
  while (windowSamples_ > limit && fileBuffers_.size() >= 2 && fileBuffers_.front().samples < windowSamples_) {
    const QVFileBufferId& oldest = fileBuffers_.front();
    QV_DEBUG("[" << root << "] removed " << oldest.path << " - " << oldest.samples << " events");
    windowRecords_ -= oldest.records;
    windowSamples_ -= oldest.samples;
    fileBuffers_.erase(fileBuffers_.begin());
  }
}

void QVDriverBufferWindow::close() {
  QVDriverBuffer::close();
  for (const QVFileBufferId& file : fileBuffers_) {
    // Corrupt chunks stay on disk for inspection.
    if (!file.corrupt || !file.file) continue;
    const std::string kept = file.file->keep();
    if (!kept.empty()) QV_WARNING("[" << filesystem_->root() << "] corrupt buffer kept in " << kept);
  }
  fileBuffers_.clear();
}

}  // namespace Quorvel
