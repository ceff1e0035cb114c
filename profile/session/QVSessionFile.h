#pragma once

#include <memory>
#include <string>

namespace Quorvel {

class QVSessionProfile;

// The session file: one keyed XML document whose root element "Session"
// holds a QVSessionProfile, optionally gzip-compressed as a whole.
class QVSessionFile {
 public:
  // Writes to a temporary file in the directory of `path`, flushes it to
  // disk and renames it over `path`, so that a reader never sees half a
  // file and a failed save leaves any earlier file as it was. The new file
  // gets the mode of the file it replaces, or 0666 less the umask. Throws
  // QVException naming the path and the cause on any failure; the
  // temporary file is removed on every path.
  static void write(const QVSessionProfile& profile, const std::string& path, bool compress = false);

  // Reads a file written by write(), compressed or not (told apart by the
  // gzip magic bytes). The objects the file carries are registered; objects
  // already registered under the same ids are kept. Throws QVException on
  // a missing, unreadable, malformed or truncated file.
  static std::shared_ptr<QVSessionProfile> read(const std::string& path);

  // The document's root element.
  static const char* const RootKey;  // "Session"
};

}  // namespace Quorvel
