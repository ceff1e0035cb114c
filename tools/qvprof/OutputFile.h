#pragma once

#include <string>

namespace Quorvel {
namespace qvprof {

// Writes what a command produced to a file through QVFileReplacement: a
// reader sees the old file or the whole new one, and a device, FIFO or
// directory at the path is refused rather than replaced. Throws QVException
// with a one-line reason.
class OutputFile {
 public:
  // Refuses an unusable path before long work is done for it.
  static void checkWritable(const std::string& path);
  static void write(const std::string& path, const std::string& content);
};

}  // namespace qvprof
}  // namespace Quorvel
