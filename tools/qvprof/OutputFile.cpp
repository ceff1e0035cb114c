#include "OutputFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/QVException.h"
#include "output/QVFileReplacement.h"

namespace Quorvel {
namespace qvprof {

void OutputFile::checkWritable(const std::string& path) {
  const std::string why = QVFileReplacement::whyNotReplaceable(path);
  if (!why.empty()) throw QVException("cannot write '" + path + "': " + why, __LINE__, __FILE__);
}

void OutputFile::write(const std::string& path, const std::string& content) {
  QVFileReplacement file(path);
  if (!file.open()) throw QVException("cannot write '" + path + "': " + file.error(), __LINE__, __FILE__);
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t written = ::write(file.fd(), content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      throw QVException("cannot write '" + path + "': " + std::strerror(written < 0 ? errno : ENOSPC), __LINE__,
                        __FILE__);
    }
    done += static_cast<size_t>(written);
  }
  if (!file.commit()) throw QVException("cannot write '" + path + "': " + file.error(), __LINE__, __FILE__);
}

}  // namespace qvprof
}  // namespace Quorvel
