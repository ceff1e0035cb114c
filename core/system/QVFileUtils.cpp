#include "system/QVFileUtils.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/QVLog.h"
#include "system/QVFileDescriptor.h"

namespace Quorvel {

namespace {

// Closes a descriptor on every path out of the function that opened it.
bool statPath(const std::string& path, struct stat& info) { return ::stat(path.c_str(), &info) == 0; }

// Access checks use the effective ids, because privileged work runs under a
// switched effective user while the real user stays the caller.
bool effectiveAccess(const std::string& path, int mode) {
  return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

std::string directoryOf(const std::string& path) {
  const std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// --- version comparison

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

std::string::size_type leadingCount(const std::string& text, bool digits) {
  std::string::size_type n = 0;
  while (n < text.size() && isDigit(text[n]) == digits) {
    ++n;
  }
  return n;
}

int sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

// Compares digit strings of any length numerically.
int compareNumbers(std::string a, std::string b) {
  a.erase(0, std::min(a.find_first_not_of('0'), a.size()));
  b.erase(0, std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) {
    return a.size() < b.size() ? -1 : 1;
  }
  return sign(a.compare(b));
}

// One separated component; empty means a missing one, which counts as 0.
int compareComponents(std::string a, std::string b) {
  if (a.empty()) {
    a = "0";
  }
  if (b.empty()) {
    b = "0";
  }
  const bool numericA = isDigit(a[0]);
  const bool numericB = isDigit(b[0]);
  if (numericA != numericB) {
    return numericA ? 1 : -1;
  }
  const std::string::size_type lengthA = leadingCount(a, numericA);
  const std::string::size_type lengthB = leadingCount(b, numericB);
  const int head = numericA ? compareNumbers(a.substr(0, lengthA), b.substr(0, lengthB))
                            : sign(a.compare(0, lengthA, b, 0, lengthB));
  if (head != 0) {
    return head;
  }
  const std::string restA = a.substr(lengthA);
  const std::string restB = b.substr(lengthB);
  if (restA.empty() && restB.empty()) {
    return 0;
  }
  if (numericA && (restA.empty() || restB.empty())) {
    // "38" against "38rc1": a bare number is the release, the suffix a
    // pre-release, in line with a number beating text between separators.
    return restA.empty() ? 1 : -1;
  }
  return compareComponents(restA, restB);
}

std::vector<std::string> versionComponents(const std::string& version) {
  std::vector<std::string> parts(1);
  for (char c : version) {
    if (c == '.' || c == '-' || c == '_' || c == '+') {
      parts.emplace_back();
    } else {
      parts.back().push_back(c);
    }
  }
  return parts;
}

}  // namespace

std::string PathDirectory(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string PathBaseName(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::string& path) {
  struct stat info;
  return statPath(path, info);
}

bool FileCanRead(const std::string& path) { return effectiveAccess(path, R_OK); }

bool FileCanExecute(const std::string& path) {
  struct stat info;
  return statPath(path, info) && S_ISREG(info.st_mode) && effectiveAccess(path, X_OK);
}

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return statPath(path, info) && S_ISDIR(info.st_mode);
}

mode_t FileModeFlags(const std::string& path) {
  struct stat info;
  return statPath(path, info) ? info.st_mode : 0;
}

bool FileReadString(const std::string& path, std::string& out) {
  out.clear();
  QVFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    QV_DEBUG("unable to open " << path << " - " << ::strerror(errno));
    return false;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n == 0) {
      break;
    }
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      QV_DEBUG("unable to read " << path << " - " << ::strerror(errno));
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  out.swap(text);
  return true;
}

bool FileWriteString(const std::string& path, const std::string& text) {
  QVFileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    QV_DEBUG("unable to open " << path << " for writing - " << ::strerror(errno));
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd.get(), text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      QV_DEBUG("unable to write " << path << " - " << ::strerror(errno));
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (!fd.close()) {
    QV_DEBUG("unable to close " << path << " - " << ::strerror(errno));
    return false;
  }
  return true;
}

bool FileRemove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string CreateTempFile(const std::string& path, const std::string& prefix) {
  std::string pattern = (path.empty() ? GetTempDirectory() : path) + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  QVFileDescriptor fd(::mkostemp(buffer.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    QV_DEBUG("unable to create temporary file " << pattern << " - " << ::strerror(errno));
    return std::string();
  }
  // mkostemp already uses 0600 in glibc; being explicit keeps the file
  // private should another C library differ.
  if (::fchmod(fd.get(), S_IRUSR | S_IWUSR) != 0 || !fd.close()) {
    QV_DEBUG("unable to prepare temporary file " << buffer.data() << " - " << ::strerror(errno));
    ::unlink(buffer.data());
    return std::string();
  }
  return std::string(buffer.data());
}

std::string GetTempDirectory() {
  const char* value = ::getenv("TMPDIR");
  std::string directory = (value != nullptr && *value != '\0') ? value : "/tmp";
  while (directory.size() > 1 && directory.back() == '/') {
    directory.pop_back();
  }
  return directory;
}

std::string GetInstallDirectory() {
  static const std::string directory = [] {
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&GetInstallDirectory), &info) == 0 || info.dli_fname == nullptr) {
      return std::string();
    }
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) == nullptr) {
      return std::string();
    }
    return directoryOf(directoryOf(resolved));
  }();
  return directory;
}

std::string GetEtcDirectory() {
  const std::string install = GetInstallDirectory();
  return install.empty() ? std::string() : install + "/etc";
}

std::string GetShareDirectory() {
  const std::string install = GetInstallDirectory();
  return install.empty() ? std::string() : install + "/share/quorvel";
}

int CompareVersions(const std::string& a, const std::string& b) {
  const std::vector<std::string> partsA = versionComponents(a);
  const std::vector<std::string> partsB = versionComponents(b);
  const size_t count = std::max(partsA.size(), partsB.size());
  for (size_t i = 0; i < count; ++i) {
    const int result = compareComponents(i < partsA.size() ? partsA[i] : std::string(),
                                         i < partsB.size() ? partsB[i] : std::string());
    if (result != 0) {
      return result;
    }
  }
  return 0;
}

}  // namespace Quorvel
