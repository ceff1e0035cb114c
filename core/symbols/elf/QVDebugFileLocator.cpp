#include "symbols/elf/QVDebugFileLocator.h"

#include <zlib.h>

#include <limits.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "base/QVLog.h"
#include "symbols/elf/QVElfImage.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

namespace {

// The folder of a file, with links resolved as the system's debug tools
// resolve them; the path as given when it cannot be resolved.
std::string FolderOf(const std::string& path) {
  std::string resolved = path;
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer)) {
    resolved = buffer;
  }
  return PathDirectory(resolved);
}

bool IsRegularFile(const std::string& path, struct stat& status) {
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

QVDebugFileLocator::QVDebugFileLocator(std::string debugRoot) : debugRoot_(std::move(debugRoot)) {
  while (debugRoot_.size() > 1 && debugRoot_.back() == '/') {
    debugRoot_.pop_back();
  }
}

bool QVDebugFileLocator::needsDebugFile(const QVElfImage& image) {
  return image.isValid() && (!image.hasSymbolTable() || !image.hasLineInfo());
}

std::vector<QVDebugFileLocator::Candidate> QVDebugFileLocator::candidates(const QVElfImage& image) const {
  std::vector<Candidate> found;
  const std::string& buildId = image.buildId();
  // Two hex digits for the folder and at least one for the file name.
  if (buildId.size() > 2) {
    found.push_back({debugRoot_ + "/.build-id/" + buildId.substr(0, 2) + "/" + buildId.substr(2) + ".debug",
                     Route::BuildId});
  }
  if (image.hasDebugLink() && !image.isMemoryImage()) {
    // The link is a bare file name; anything with a separator is not what
    // the linker tools write and could point the search anywhere.
    const std::string& link = image.debugLinkName();
    if (link.find('/') == std::string::npos && link != "." && link != "..") {
      const std::string folder = FolderOf(image.path());
      const std::string prefix = folder == "/" ? "" : folder;
      found.push_back({prefix + "/" + link, Route::DebugLinkBeside});
      found.push_back({prefix + "/.debug/" + link, Route::DebugLinkSubfolder});
      found.push_back({debugRoot_ + prefix + "/" + link, Route::DebugLinkUnderRoot});
    }
  }
  return found;
}

bool QVDebugFileLocator::fileCrc32(const std::string& path, uint32_t& crc) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  uLong value = crc32(0L, Z_NULL, 0);
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got > 0) {
      value = crc32(value, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got));
    }
  }
  if (in.bad()) {
    return false;
  }
  crc = static_cast<uint32_t>(value);
  return true;
}

bool QVDebugFileLocator::matches(const QVElfImage& image, const QVElfImage& candidate) {
  if (!image.isValid() || !candidate.isValid()) {
    return false;
  }
  if (candidate.machine() != image.machine() || candidate.is64Bit() != image.is64Bit()) {
    return false;
  }
  if (!image.buildId().empty()) {
    return candidate.buildId() == image.buildId();
  }
  if (!image.hasDebugLink() || candidate.isMemoryImage()) {
    return false;
  }
  uint32_t crc = 0;
  return fileCrc32(candidate.path(), crc) && crc == image.debugLinkCrc();
}

std::shared_ptr<QVElfImage> QVDebugFileLocator::locate(const QVElfImage& image, Route* route) const {
  if (route) {
    *route = Route::None;
  }
  if (!image.isValid()) {
    return nullptr;
  }
  for (const Candidate& candidate : candidates(image)) {
    struct stat candidateStatus;
    if (!IsRegularFile(candidate.path, candidateStatus)) {
      continue;
    }
    // A link that names the file itself would "match" by build-id.
    struct stat imageStatus;
    if (!image.isMemoryImage() && IsRegularFile(image.path(), imageStatus) &&
        imageStatus.st_dev == candidateStatus.st_dev && imageStatus.st_ino == candidateStatus.st_ino) {
      continue;
    }
    auto debugFile = std::make_shared<QVElfImage>(candidate.path);
    if (!matches(image, *debugFile)) {
      QV_DEBUG("rejecting debug file candidate " << candidate.path << " for " << image.path());
      continue;
    }
    QV_DEBUG("using debug file " << candidate.path << " for " << image.path() << " ("
                                 << DebugFileRouteName(candidate.route) << ")");
    if (route) {
      *route = candidate.route;
    }
    return debugFile;
  }
  return nullptr;
}

const char* DebugFileRouteName(QVDebugFileLocator::Route route) {
  switch (route) {
    case QVDebugFileLocator::Route::BuildId:
      return "build-id";
    case QVDebugFileLocator::Route::DebugLinkBeside:
      return "debuglink beside the file";
    case QVDebugFileLocator::Route::DebugLinkSubfolder:
      return "debuglink in .debug";
    case QVDebugFileLocator::Route::DebugLinkUnderRoot:
      return "debuglink under the debug root";
    case QVDebugFileLocator::Route::None:
      break;
  }
  return "none";
}

}  // namespace Quorvel
