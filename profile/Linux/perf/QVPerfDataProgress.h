#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "Linux/perf/QVPerfDataFile.h"

namespace Quorvel {

// Counts the samples, and the threads they came from, that perf has written
// so far to a data file it is still writing: the live figures of a
// recording. perf writes the file header with its attributes and the data
// offset once its events are open, then appends whole records as it drains
// its buffers, so the file can be followed from where the last look ended;
// a record that is only half written yet is read again next time. A file
// that is replaced (perf renames an old one away) starts the count again.
// Used on one thread.
class QVPerfDataProgress {
 public:
  explicit QVPerfDataProgress(const std::string& path = std::string());

  // Follows another file from its start.
  void reset(const std::string& path);
  const std::string& path() const { return path_; }
  // Reads what was appended since the last call. False while the file has
  // no header yet, or when it cannot be read or is no perf.data; the counts
  // keep what was read before.
  bool update();

  std::uint64_t samples() const { return samples_; }
  std::size_t threads() const { return threads_.size(); }

 private:
  bool _readHeader(int fd, std::uint64_t size);
  void _countSample(const std::uint8_t* body, std::size_t length);

  std::string path_;
  ino_t inode_ = 0;
  bool haveHeader_ = false;
  bool damaged_ = false;
  std::vector<std::uint8_t> headerBytes_;
  QVPerfDataFile header_;
  std::uint64_t offset_ = 0;
  std::uint64_t samples_ = 0;
  std::unordered_set<std::int32_t> threads_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace Quorvel
