#pragma once

#include <unistd.h>

#include <utility>

namespace Quorvel {

// Owns one open file descriptor and closes it when destroyed; -1 owns
// nothing. Moves hand the descriptor over.
class QVFileDescriptor {
 public:
  QVFileDescriptor() = default;
  explicit QVFileDescriptor(int fd) : fd_(fd) {}
  ~QVFileDescriptor() { close(); }
  QVFileDescriptor(QVFileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  QVFileDescriptor& operator=(QVFileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  QVFileDescriptor(const QVFileDescriptor&) = delete;
  QVFileDescriptor& operator=(const QVFileDescriptor&) = delete;

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  // Closes now, so that the caller sees a failed close: on some
  // filesystems that is the only report of a lost write.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace Quorvel
