#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace Quorvel {

class QVDriverFilesystem;
class QVSessionConfig;
class QVTempFile;

/// Drains a kernel driver's "buffer" device. One reader is used by one thread
/// at a time: the sampler's reading thread calls read(); the recorder's
/// thread calls open(), dump() and close() around it.
class QVDriverBuffer {
 public:
  explicit QVDriverBuffer(const std::shared_ptr<QVDriverFilesystem>& filesystem);
  virtual ~QVDriverBuffer();
  QVDriverBuffer(const QVDriverBuffer&) = delete;
  QVDriverBuffer& operator=(const QVDriverBuffer&) = delete;

  /// Closes, reads "buffer_size", opens "buffer"; false when it cannot be opened.
  virtual bool open();
  /// One chunk: the byte count taken in, 0 for none (or a stop request).
  virtual int read() = 0;
  /// Asks the driver to make every pending sample readable.
  virtual bool dump();
  virtual void close();
  /// Whether the driver lost records (its overflow counters); logs each loss.
  virtual bool bufferOverflowed() const;

  uint64_t wordSize() const { return wordSize_; }
  bool is64() const { return is64_; }
  uint64_t recordCount() const { return recordCount_; }

 protected:
  std::shared_ptr<QVDriverFilesystem> filesystem_;
  uint64_t wordSize_;
  bool is64_;
  uint64_t bufferEntries_ = 0;
  uint64_t bufferBytes_ = 0;
  int fd_ = -1;
  uint64_t recordCount_ = 0;
};

/// Copies everything the driver delivers, unread, into one temporary file.
/// The file is unnamed (see QVTempFile): a reader killed mid-way leaves
/// nothing in the temporary directory.
class QVDriverBufferSimple : public QVDriverBuffer {
 public:
  explicit QVDriverBufferSimple(const std::shared_ptr<QVDriverFilesystem>& filesystem);
  ~QVDriverBufferSimple() override;

  /// Opens the device and a new temporary file; raises QVException when
  /// the file cannot be made.
  bool open() override;
  /// Appends one chunk to the file; raises QVException without a device
  /// or file and when reading or writing fails.
  int read() override;
  /// Closes the device; the file stays for getFile().
  void close() override;
  /// A path that opens the copy from this process until discardFile(),
  /// the next open() or destruction; empty before the first open().
  std::string getFile();
  /// Frees the copy.
  void discardFile();

 private:
  std::unique_ptr<QVTempFile> output_;
  std::vector<unsigned char> chunk_;
};

/// A chunk copied out of the driver into a temporary file. The file lives
/// as long as some copy of this holds it; path opens it from this process.
struct QVFileBufferId {
  std::shared_ptr<QVTempFile> file;
  std::string path;
  uint64_t records = 0;
  uint64_t samples = 0;
  bool corrupt = false;
};

/// Copies each chunk to a temporary file of its own, counting samples,
/// detecting corruption, keeping the sample-limit window and asking the
/// driver for a longer interval when the window grows past the adaptive
/// threshold.
class QVDriverBufferWindow : public QVDriverBuffer {
 public:
  static bool trace_;  ///< QV_TRACE_DRIVER_BUFFER_WINDOW

  explicit QVDriverBufferWindow(const std::shared_ptr<QVDriverFilesystem>& filesystem);
  ~QVDriverBufferWindow() override;

  using QVDriverBuffer::open;
  bool open(const std::shared_ptr<QVSessionConfig>& config);
  /// Raises QVException for a missing configuration or device and for
  /// temporary-file failures; stream corruption is logged, never raised.
  int read() override;
  /// Closes the device and lets go of every chunk; a corrupt one is first
  /// copied to a named temporary file for inspection (named in the log).
  void close() override;

  std::vector<QVFileBufferId>& getFileBuffers() { return fileBuffers_; }
  uint64_t windowRecords() const { return windowRecords_; }
  uint64_t windowSamples() const { return windowSamples_; }
  /// Safe to ask from any thread while another reads.
  uint64_t totalSamples() const { return totalSamples_.load(std::memory_order_relaxed); }
  uint32_t adaptFactor() const { return adaptFactor_; }
  bool corrupted() const { return corrupted_; }

 private:
  void _keepNewest(uint64_t limit);

  uint64_t windowRecords_ = 0;
  uint64_t windowSamples_ = 0;
  std::atomic<uint64_t> totalSamples_{0};
  std::vector<QVFileBufferId> fileBuffers_;
  uint32_t adaptFactor_ = 1;
  std::shared_ptr<QVSessionConfig> config_;
  bool corrupted_ = false;
  std::vector<unsigned char> chunk_;
};

}  // namespace Quorvel
