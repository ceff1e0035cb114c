#include "Linux/perf/QVPerfDataProgress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "binary/QVBinaryCursor.h"
#include "system/QVFileDescriptor.h"

namespace Quorvel {

namespace {

// Header fields (see QVPerfDataFile): the data section's offset and size.
constexpr std::size_t kDataOffsetAt = 40;
constexpr std::size_t kDataSizeAt = 48;
// The header and attributes are a few KiB; more is no file perf wrote.
constexpr std::uint64_t kMaxHeaderBytes = 16u << 20;
// Appended records are read in slices of this size.
constexpr std::size_t kSlice = 1u << 20;

bool readFully(int fd, std::uint8_t* to, std::size_t length, std::uint64_t offset) {
  while (length > 0) {
    const ssize_t got = ::pread(fd, to, length, static_cast<off_t>(offset));
    if (got <= 0) return false;
    to += got;
    length -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace

QVPerfDataProgress::QVPerfDataProgress(const std::string& path) { reset(path); }

void QVPerfDataProgress::reset(const std::string& path) {
  path_ = path;
  inode_ = 0;
  haveHeader_ = false;
  damaged_ = false;
  headerBytes_.clear();
  header_ = QVPerfDataFile();
  offset_ = 0;
  samples_ = 0;
  threads_.clear();
}

bool QVPerfDataProgress::_readHeader(int fd, std::uint64_t size) {
  std::uint8_t fixed[QVPerfDataFile::kHeaderSize];
  if (size < sizeof fixed || !readFully(fd, fixed, sizeof fixed, 0)) return false;
  std::uint64_t dataOffset = 0;
  std::memcpy(&dataOffset, fixed + kDataOffsetAt, sizeof dataOffset);
  if (dataOffset < sizeof fixed || dataOffset > size || dataOffset > kMaxHeaderBytes) return false;
  headerBytes_.resize(dataOffset);
  if (!readFully(fd, headerBytes_.data(), headerBytes_.size(), 0)) return false;
  // perf fills in the data size only when it finishes; the records past
  // the header are followed here, not through it.
  std::memset(headerBytes_.data() + kDataSizeAt, 0, sizeof(std::uint64_t));
  if (!header_.parse(headerBytes_.data(), headerBytes_.size(), path_)) {
    damaged_ = true;
    return false;
  }
  offset_ = dataOffset;
  haveHeader_ = true;
  return true;
}

void QVPerfDataProgress::_countSample(const std::uint8_t* body, std::size_t length) {
  ++samples_;
  const std::vector<QVPerfEventAttr>& attributes = header_.attributes();
  if (attributes.empty()) return;
  QVBinaryCursor cursor(body, length);
  std::uint64_t type = attributes.front().sampleType;
  // With the identifier leading every sample, the event it names decides
  // the layout; either way the IP and the task come first.
  std::uint64_t identifier = 0;
  if (type & QV_PERF_SAMPLE_IDENTIFIER) {
    if (!cursor.read(identifier)) return;
    if (const QVPerfEventAttr* attribute = header_.attributeForId(identifier)) type = attribute->sampleType;
  }
  std::int32_t pid = -1, tid = -1;
  if ((type & QV_PERF_SAMPLE_IP) && !cursor.skip(8)) return;
  if ((type & QV_PERF_SAMPLE_TID) && cursor.read(pid) && cursor.read(tid) && tid > 0) threads_.insert(tid);
}

bool QVPerfDataProgress::update() {
  if (path_.empty() || damaged_) return false;
  const QVFileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status;
  if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
  if (status.st_ino != inode_ || (haveHeader_ && size < offset_)) {
    const std::string path = path_;
    reset(path);
    inode_ = status.st_ino;
  }
  if (!haveHeader_ && !_readHeader(fd.get(), size)) return false;

  while (offset_ + 8 <= size) {
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset_, kSlice));
    buffer_.resize(length);
    if (!readFully(fd.get(), buffer_.data(), length, offset_)) return false;
    QVBinaryCursor slice(buffer_.data(), length);
    std::uint64_t used = 0;
    while (slice.remaining() >= 8) {
      const std::size_t start = slice.offset();
      std::uint32_t type = 0;
      std::uint16_t misc = 0, recordSize = 0;
      slice.read(type);
      slice.read(misc);
      slice.read(recordSize);
      if (recordSize < 8) {
        // Nothing after a record of no size can be placed.
        damaged_ = true;
        return false;
      }
      if (!slice.seek(start + recordSize)) break;  // written in part so far
      if (type == QV_PERF_RECORD_SAMPLE) _countSample(buffer_.data() + start + 8, recordSize - 8u);
      used = slice.offset();
    }
    if (used == 0) break;
    offset_ += used;
  }
  return true;
}

}  // namespace Quorvel
