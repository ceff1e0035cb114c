#pragma once

namespace Quorvel {

class QVArchiver;

// An object that writes itself under fixed string keys. Each class reports
// the format version it writes; the archiver records a non-zero version on
// the object's element so that readers can tell older layouts apart.
class QVArchivable {
 public:
  virtual ~QVArchivable() = default;
  virtual void encodeWithArchiver(QVArchiver* archiver) const = 0;
  virtual int getCurrentMajorVersion() const { return 0; }
  virtual int getCurrentMinorVersion() const { return 0; }
};

}  // namespace Quorvel
