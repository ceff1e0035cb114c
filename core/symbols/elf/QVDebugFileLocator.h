#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quorvel {

class QVElfImage;

// Finds the separate debug file of a stripped image where distributions
// install them:
//   <debugRoot>/.build-id/<first two hex digits>/<rest>.debug
//   <file's folder>/<debuglink name>
//   <file's folder>/.debug/<debuglink name>
//   <debugRoot>/<file's folder>/<debuglink name>
// in that order. A candidate counts only when it is a valid ELF image whose
// build-id equals the image's; an image without a build-id accepts a
// candidate whose CRC-32 matches the debuglink's. Stateless after
// construction, so one locator may serve several threads.
class QVDebugFileLocator {
 public:
  enum class Route { None, BuildId, DebugLinkBeside, DebugLinkSubfolder, DebugLinkUnderRoot };

  struct Candidate {
    std::string path;
    Route route = Route::None;
  };

  explicit QVDebugFileLocator(std::string debugRoot = "/usr/lib/debug");

  const std::string& debugRoot() const { return debugRoot_; }

  // Whether the image lacks what a debug file supplies: a full symbol
  // table or line information.
  static bool needsDebugFile(const QVElfImage& image);

  // Where the image's debug file may be, in search order; nothing is
  // checked on disk.
  std::vector<Candidate> candidates(const QVElfImage& image) const;

  // The first candidate that exists and matches, opened; null when none
  // does. route, when given, says which place it came from.
  std::shared_ptr<QVElfImage> locate(const QVElfImage& image, Route* route = nullptr) const;

  // Whether the candidate is the debug file of the image.
  static bool matches(const QVElfImage& image, const QVElfImage& candidate);

  // CRC-32 of a whole file as .gnu_debuglink records it; false when the
  // file cannot be read.
  static bool fileCrc32(const std::string& path, uint32_t& crc);

 private:
  std::string debugRoot_;
};

const char* DebugFileRouteName(QVDebugFileLocator::Route route);

}  // namespace Quorvel
