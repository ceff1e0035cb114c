#include "Linux/driver/QVDriverBufferCursor.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "system/QVFileDescriptor.h"

namespace Quorvel {

QVDriverBufferCursorMemory::QVDriverBufferCursorMemory(const void* words, uint64_t recordCount, bool is64)
    : is64_(is64) {
  _reset(words, recordCount);
}

QVDriverBufferCursorMemory::QVDriverBufferCursorMemory(bool is64) : is64_(is64) {}

void QVDriverBufferCursorMemory::_reset(const void* words, uint64_t recordCount) {
  recordCount_ = words ? recordCount : 0;
  bytes_ = QVBinaryCursor(words, size_t(recordCount_ * (is64_ ? 8 : 4)));
}

bool QVDriverBufferCursorMemory::nextRecord(uint64_t& word) {
  if (is64_) {
    if (bytes_.read(word)) return true;
  } else {
    uint32_t narrow;
    if (bytes_.read(narrow)) {
      word = narrow;
      return true;
    }
  }
  word = 0;
  return false;
}

void QVDriverBufferCursorMemory::rewind() { bytes_.seek(0); }

uint64_t QVDriverBufferCursorMemory::index() const { return bytes_.offset() / (is64_ ? 8 : 4); }

struct QVDriverBufferCursorMapped::Mapping {
  void* address = nullptr;
  size_t length = 0;
  ~Mapping() {
    if (address) munmap(address, length);
  }
};

QVDriverBufferCursorMapped::QVDriverBufferCursorMapped(std::shared_ptr<Mapping> mapping, bool is64)
    : QVDriverBufferCursorMemory(is64), mapping_(std::move(mapping)) {
  const uint64_t wordSize = is64 ? 8 : 4;
  _reset(mapping_->address, mapping_->length / wordSize);
}

std::unique_ptr<QVDriverBufferCursorMapped> QVDriverBufferCursorMapped::open(const std::string& path, bool is64,
                                                                             std::string& error) {
  const QVFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.isOpen()) {
    error = std::strerror(errno);
    return nullptr;
  }
  struct stat st;
  auto mapping = std::make_shared<Mapping>();
  if (fstat(fd.get(), &st) != 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
    return nullptr;
  }
  if (st.st_size > 0) {
    void* address = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (address == MAP_FAILED) {
      error = std::strerror(errno);
      return nullptr;
    }
    mapping->address = address;
    mapping->length = size_t(st.st_size);
    madvise(address, mapping->length, MADV_SEQUENTIAL);
  }
  return std::unique_ptr<QVDriverBufferCursorMapped>(new QVDriverBufferCursorMapped(std::move(mapping), is64));
}

}  // namespace Quorvel
