#include "Linux/unwind/QVTaskFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "proc/QVTextReader.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

QVTaskFiles::QVTaskFiles(pid_t tid) : tid_(tid) {}

QVTaskFiles::~QVTaskFiles() {
  for (int fd : {statFd_, schedstatFd_, syscallFd_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

std::string_view QVTaskFiles::_read(int& fd, const char* name) {
  if (fd < 0) {
    const std::string path = QVSystemPaths::path("/proc/" + std::to_string(tid_) + "/" + name);
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return {};
    }
  }
  // These files are generated whole on each read from offset 0.
  const ssize_t count = ::pread(fd, buffer_, sizeof(buffer_) - 1, 0);
  if (count <= 0) {
    return {};
  }
  buffer_[count] = '\0';
  return std::string_view(buffer_, static_cast<size_t>(count));
}

std::optional<QVProcTaskStat> QVTaskFiles::stat() {
  const std::string_view text = _read(statFd_, "stat");
  lastProcessor_ = -1;
  std::optional<QVProcTaskStat> parsed = QVProcTaskStatParser::parse(text);
  if (!parsed) {
    return parsed;
  }
  // The processor is field 39, the 37th after the closing parenthesis of
  // the name (which may itself hold spaces and parentheses).
  const size_t close = text.rfind(')');
  QVTextReader reader(text.substr(close + 1));
  for (int field = 3; field < 39; ++field) {
    if (!reader.nextField()) {
      return parsed;
    }
  }
  const std::optional<uint64_t> processor = reader.nextUnsigned();
  if (processor && *processor < (1u << 20)) {
    lastProcessor_ = static_cast<int>(*processor);
  }
  return parsed;
}

std::optional<uint64_t> QVTaskFiles::runtimeNanos() {
  // "<run time> <wait time> <time slices>", all counted by the scheduler.
  QVTextReader reader(_read(schedstatFd_, "schedstat"));
  return reader.nextUnsigned();
}

std::string_view QVTaskFiles::syscall() { return _read(syscallFd_, "syscall"); }

}  // namespace Quorvel
