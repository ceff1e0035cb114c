#pragma once

#include <cstdint>
#include <string>

namespace Quorvel {

// Where the readers of kernel and system files look. By default every path is
// used as given; tests set a fixture root so that /proc, /sys, /dev, /lib,
// /usr/share (desktop entries and icon themes), /opt,
// /boot, /etc, /run (state kept across runs) and /usr/lib/debug resolve
// beneath it instead. Paths outside
// those trees (temporary files, the user's own files) are never redirected.
// All members are thread-safe.
class QVSystemPaths {
 public:
  // absolutePath under the fixture root when one is set and the path lies in
  // one of the redirected trees; otherwise absolutePath unchanged.
  static std::string path(const std::string& absolutePath);

  // An empty root is the same as clearRoot(). A trailing "/" is ignored.
  static void setRoot(const std::string& root);
  static void clearRoot();
  // The current fixture root, empty when none.
  static std::string root();
  // Changes whenever the root is set or cleared: readers that cache what
  // they read compare it to know when to read again.
  static uint64_t generation();

  // Sets a root for its lifetime and restores the previous one afterwards.
  class ScopedRoot {
   public:
    explicit ScopedRoot(const std::string& root);
    ~ScopedRoot();
    ScopedRoot(const ScopedRoot&) = delete;
    ScopedRoot& operator=(const ScopedRoot&) = delete;

   private:
    std::string previous_;
  };

  QVSystemPaths() = delete;
};

}  // namespace Quorvel
