#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "binary/QVBinaryCursor.h"

namespace Quorvel {

/// Reads the words of one driver event-buffer chunk in order. Every read is
/// bounds-checked: past the end nextRecord() answers false and a zero word.
class QVDriverBufferCursorAbstract {
 public:
  virtual ~QVDriverBufferCursorAbstract() = default;
  virtual bool nextRecord(uint64_t& word) = 0;
  virtual void rewind() = 0;
  virtual uint64_t index() const = 0;
};

/// Cursor over words held in memory (not owned): a word view over the one
/// checked binary reader. Words are 64 bits wide when is64, else 32 bits,
/// in host byte order; 32-bit words are zero-extended. The memory need not
/// be aligned.
class QVDriverBufferCursorMemory : public QVDriverBufferCursorAbstract {
 public:
  QVDriverBufferCursorMemory(const void* words, uint64_t recordCount, bool is64);

  bool nextRecord(uint64_t& word) override;
  void rewind() override;
  uint64_t index() const override;

  uint64_t recordCount() const { return recordCount_; }
  bool is64() const { return is64_; }

 protected:
  QVDriverBufferCursorMemory(bool is64);
  void _reset(const void* words, uint64_t recordCount);

 private:
  uint64_t recordCount_ = 0;
  bool is64_;
  QVBinaryCursor bytes_;
};

/// Cursor over a file buffer, memory-mapped read-only for the cursor's
/// lifetime. A trailing partial word is not part of the records.
class QVDriverBufferCursorMapped : public QVDriverBufferCursorMemory {
 public:
  /// Maps path; on failure returns null and sets error to a one-line reason.
  static std::unique_ptr<QVDriverBufferCursorMapped> open(const std::string& path, bool is64, std::string& error);

 private:
  struct Mapping;
  QVDriverBufferCursorMapped(std::shared_ptr<Mapping> mapping, bool is64);
  std::shared_ptr<Mapping> mapping_;
};

}  // namespace Quorvel
