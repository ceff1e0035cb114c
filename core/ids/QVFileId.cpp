#include "ids/QVFileId.h"

#include <memory>
#include <ostream>

namespace Quorvel {

void QVFileId::encodeWithArchiver(QVArchiver* archiver) const {
  if (_isPerBoot()) {
    QVInternedId::encodeWithArchiver(archiver);
  } else if (isValid()) {
    archiver->encodeString(path(), kKeys[0]);
  }
}

void QVFileId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey(kKeys[0])) {
    *this = QVFileId();
    return;
  }
  std::string path;
  unarchiver->decodeString(kKeys[0], path);
  if (!unarchiver->hasValueForKey(kKeys[1])) {
    *this = uniqueFileId(path);
    return;
  }
  std::shared_ptr<QVSystemId> system;
  unarchiver->decodeObjectForKey(kKeys[1], system);
  const uint64_t time = unarchiver->hasValueForKey(kKeys[2]) ? unarchiver->decodeUnsigned(kKeys[2]) : 0;
  *this = uniqueFileId(*system, path, time);
}

void QVFileId::_describe(std::ostream& os) const {
  os << path();
  if (_isPerBoot()) {
    const std::ios_base::fmtflags flags = os.flags();
    os << " [" << systemId() << ", boot 0x" << std::hex << time() << "]";
    os.flags(flags);
  }
}

}  // namespace Quorvel
