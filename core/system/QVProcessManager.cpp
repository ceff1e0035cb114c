#include "system/QVProcessManager.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "base/QVLog.h"
#include "system/QVFileUtils.h"

extern char** environ;

namespace Quorvel {

namespace {

// waitid's id type for a pidfd (Linux 5.4); older C libraries lack the name.
constexpr idtype_t kIdTypePidfd = static_cast<idtype_t>(3);

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// The wait status that waitpid() would have returned for this siginfo.
int waitStatusFromSiginfo(const siginfo_t& info) {
  switch (info.si_code) {
    case CLD_EXITED:
      return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
      return info.si_status & 0x7f;
    case CLD_DUMPED:
      return (info.si_status & 0x7f) | 0x80;
    default:
      return info.si_status;
  }
}

// Reads an exited child's status and leaves it a zombie for its owner.
// False when the child is gone already (its owner reaped it).
bool peekExitStatus(pid_t pid, int pidfd, int& status) {
  for (;;) {
    siginfo_t info;
    ::memset(&info, 0, sizeof(info));
    int result = -1;
    if (pidfd >= 0) {
      result = ::waitid(kIdTypePidfd, static_cast<id_t>(pidfd), &info, WEXITED | WNOWAIT);
      if (result < 0 && errno == EINVAL) {
        // Kernels with pidfd_open but before waitid on pidfds (5.3); the
        // child is a zombie here, so its pid cannot have been reused.
        result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
      }
    } else {
      result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    }
    if (result == 0 && info.si_pid == pid) {
      status = waitStatusFromSiginfo(info);
      return true;
    }
    if (result < 0 && errno == EINTR) {
      continue;
    }
    return false;
  }
}

void reapChild(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// The kernel's own sigaction layout (x86-64 and the generic ABI). The C
// library's sigaction() refuses the signals it keeps for itself, and
// posix_spawn() leaves those ignored in the child, which an exec'ed program
// then inherits; the raw system call resets every one of them.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};

constexpr int kHighestSignal = 64;

// Runs in the child between fork and exec, so it calls only
// async-signal-safe functions and allocates nothing. Never returns: on
// failure it reports errno through errorFd and exits with 127.
[[noreturn]] void execChild(const char* program, char* const* argv, char* const* envp, const char* dir,
                            bool quietStdio, int outputFd, int errorFd) {
  KernelSigaction defaultAction = {};
  defaultAction.handler = SIG_DFL;
  for (int signal = 1; signal <= kHighestSignal; ++signal) {
    // SIGKILL and SIGSTOP refuse, which is fine.
    ::syscall(SYS_rt_sigaction, signal, &defaultAction, nullptr, sizeof(defaultAction.mask));
  }
  // The parent blocked everything around fork; dispositions are default now,
  // so nothing of the parent's can run here once signals are unblocked.
  const uint64_t emptyMask = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &emptyMask, nullptr, sizeof(emptyMask));

  int error = 0;
  if (quietStdio) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) {
      error = errno;
    } else {
      if (::dup2(null, 0) < 0 || ::dup2(outputFd >= 0 ? outputFd : null, 1) < 0 ||
          ::dup2(outputFd >= 0 ? outputFd : null, 2) < 0) {
        error = errno;
      }
      if (null > 2) {
        ::close(null);
      }
    }
  }
  if (error == 0 && dir != nullptr && ::chdir(dir) != 0) {
    error = errno;
  }
  if (error == 0) {
#ifdef SYS_close_range
    // Descriptors that another part of the process forgot to mark
    // close-on-exec must not leak into the tools we start. Marking rather
    // than closing keeps errorFd usable until exec. Older kernels refuse the
    // flag; then only close-on-exec descriptors are closed.
    constexpr unsigned kCloseRangeCloexec = 1U << 2;
    ::syscall(SYS_close_range, 3U, ~0U, kCloseRangeCloexec);
#endif
    ::execve(program, argv, envp);
    error = errno;
  }
  while (::write(errorFd, &error, sizeof(error)) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// Blocks every signal for its scope, so that a signal arriving between fork
// and the child's reset cannot run one of the parent's handlers in the
// child.
class ScopedAllSignalsBlocked {
 public:
  ScopedAllSignalsBlocked() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  ~ScopedAllSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  ScopedAllSignalsBlocked(const ScopedAllSignalsBlocked&) = delete;
  ScopedAllSignalsBlocked& operator=(const ScopedAllSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

std::string absoluteExe(const QVProcessManager& manager, const std::string& exe) {
  if (exe.find('/') == std::string::npos) {
    return manager.findExe(exe);
  }
  if (exe[0] == '/') {
    return exe;
  }
  // The child changes directory before exec, so a relative path would be
  // looked up from the wrong place.
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) {
    return exe;
  }
  std::string absolute = std::string(cwd) + "/" + exe;
  std::free(cwd);
  return absolute;
}

void closeIfOpen(int fd) {
  if (fd >= 0) {
    ::close(fd);
  }
}

}  // namespace

struct QVProcessManager::Mailbox {
  Mailbox() : eventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (eventFd < 0) {
      QV_ERROR("unable to create the process manager's event descriptor - " << ::strerror(errno));
    }
  }
  ~Mailbox() { closeIfOpen(eventFd); }
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  void wake() const {
    const uint64_t one = 1;
    if (eventFd >= 0 && ::write(eventFd, &one, sizeof(one)) < 0 && errno != EAGAIN) {
      QV_ERROR("unable to wake the process manager - " << ::strerror(errno));
    }
  }

  void post(const Exit& exit) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      exits.push_back(exit);
    }
    wake();
  }

  std::vector<Exit> take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Exit> taken;
    taken.swap(exits);
    return taken;
  }

  const int eventFd;
  std::mutex mutex;
  std::vector<Exit> exits;
};

QVProcessManager& QVProcessManager::defaultManager() {
  // Never destroyed: handlers of other static objects may still be
  // registered while the process exits.
  static QVProcessManager* manager = new QVProcessManager();
  return *manager;
}

QVProcessManager::QVProcessManager(Watch watch) : watch_(watch), mailbox_(std::make_shared<Mailbox>()) {}

QVProcessManager::~QVProcessManager() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  mailbox_->wake();
  if (thread_.joinable()) {
    thread_.join();
  }
  for (const Child& child : children_) {
    closeIfOpen(child.pidfd);
  }
}

std::string QVProcessManager::findExe(const std::string& name) const {
  const char* path = ::getenv("PATH");
  return findExe(name, path != nullptr ? path : "");
}

std::string QVProcessManager::findExe(const std::string& name, const std::string& path) const {
  if (name.empty()) {
    return std::string();
  }
  if (name.find('/') != std::string::npos) {
    return FileCanExecute(name) ? name : std::string();
  }
  std::string::size_type begin = 0;
  for (;;) {
    const std::string::size_type end = path.find(':', begin);
    std::string directory = path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (directory.empty()) {
      directory = ".";
    }
    const std::string candidate = directory + "/" + name;
    if (FileCanExecute(candidate)) {
      return candidate;
    }
    if (end == std::string::npos) {
      return std::string();
    }
    begin = end + 1;
  }
}

pid_t QVProcessManager::_spawn(const std::string& exe, const std::vector<std::string>& args,
                               const std::string& dir, bool quietStdio, int outputFd) {
  const std::string program = absoluteExe(*this, exe);
  if (program.empty()) {
    QV_DEBUG("unable to start " << exe << " - not found");
    errno = ENOENT;
    return -1;
  }
  // Everything the child needs is prepared here: it may not allocate.
  std::vector<std::string> strings;
  strings.reserve(args.size() + 1);
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& text : strings) {
    argv.push_back(&text[0]);
  }
  argv.push_back(nullptr);
  char* const* envp = environ;
  const char* directory = dir.empty() ? nullptr : dir.c_str();

  // The child reports a failed chdir or exec through this pipe; a clean
  // exec closes it and the parent reads end of file.
  int errorPipe[2];
  if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
    const int error = errno;
    QV_DEBUG("unable to create a pipe for starting " << program << " - " << ::strerror(error));
    errno = error;
    return -1;
  }
  pid_t pid = -1;
  int forkError = 0;
  {
    ScopedAllSignalsBlocked blocked;
    pid = ::fork();
    if (pid == 0) {
      execChild(program.c_str(), argv.data(), envp, directory, quietStdio, outputFd, errorPipe[1]);
    }
    forkError = errno;
  }
  ::close(errorPipe[1]);
  if (pid < 0) {
    ::close(errorPipe[0]);
    QV_DEBUG("unable to fork for " << program << " - " << ::strerror(forkError));
    errno = forkError;
    return -1;
  }
  int childError = 0;
  ssize_t n = 0;
  do {
    n = ::read(errorPipe[0], &childError, sizeof(childError));
  } while (n < 0 && errno == EINTR);
  ::close(errorPipe[0]);
  if (n > 0) {
    // The child exits at once; reap it so that no zombie is left behind.
    reapChild(pid);
    QV_DEBUG("unable to start " << program << " in " << (dir.empty() ? "." : dir) << " - "
                                << ::strerror(childError));
    errno = childError;
    return -1;
  }
  return pid;
}

int QVProcessManager::run(const std::string& exe, const std::vector<std::string>& args, const std::string& dir) {
  const pid_t pid = _spawn(exe, args, dir, true, -1);
  if (pid < 0) {
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      QV_DEBUG("unable to wait for " << exe << " (" << pid << ") - " << ::strerror(errno));
      return -1;
    }
  }
  return status;
}

int QVProcessManager::run(const std::string& exe, const std::vector<std::string>& args, const std::string& dir,
                          std::string& output) {
  output.clear();
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    QV_DEBUG("unable to create a pipe for " << exe << " - " << ::strerror(errno));
    return -1;
  }
  const pid_t pid = _spawn(exe, args, dir, true, fds[1]);
  // Our copy of the write end must go, or the read below never sees EOF.
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return -1;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof(buffer));
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      QV_DEBUG("unable to wait for " << exe << " (" << pid << ") - " << ::strerror(errno));
      return -1;
    }
  }
  return status;
}

pid_t QVProcessManager::spawn(const std::string& exe, const std::vector<std::string>& args, const std::string& dir,
                              ReapPolicy policy) {
  const pid_t pid = _spawn(exe, args, dir, false, -1);
  if (pid >= 0) {
    _watch(pid, policy);
  }
  return pid;
}

pid_t QVProcessManager::spawn(const std::string& exe, const std::vector<std::string>& args, const std::string& dir,
                              int outputFd, ReapPolicy policy) {
  const pid_t pid = _spawn(exe, args, dir, true, outputFd);
  if (pid >= 0) {
    _watch(pid, policy);
  }
  return pid;
}

void QVProcessManager::_watch(pid_t pid, ReapPolicy policy) {
  _ensureThread();
  // Opened before spawn() returns, while nobody but us can have reaped the
  // child, so the descriptor refers to this very process.
  const int pidfd = watch_ == Watch::Automatic ? openPidfd(pid) : -1;
  if (pidfd >= 0) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      children_.push_back(Child{pid, pidfd, policy});
    }
    mailbox_->wake();
    return;
  }
  if (watch_ == Watch::Automatic && errno != ENOSYS) {
    QV_DEBUG("pidfd_open failed for " << pid << " - " << ::strerror(errno) << "; using a waiting thread");
  }
  try {
    std::thread(&QVProcessManager::_waitingThreadBody, mailbox_, Child{pid, -1, policy}).detach();
  } catch (const std::exception& e) {
    QV_ERROR("unable to watch child process " << pid << " - " << e.what());
  }
}

void QVProcessManager::_waitingThreadBody(std::shared_ptr<Mailbox> mailbox, Child child) {
  int status = 0;
  if (peekExitStatus(child.pid, -1, status)) {
    mailbox->post(Exit{child, status});
  } else {
    QV_DEBUG("child process " << child.pid << " was reaped before its exit could be reported");
  }
}

void QVProcessManager::_ensureThread() {
  std::call_once(threadOnce_, [this] { thread_ = std::thread(&QVProcessManager::_threadBody, this); });
}

void QVProcessManager::_threadBody() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threadId_ = std::this_thread::get_id();
  }
  std::vector<struct pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({mailbox_->eventFd, POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (quit_) {
        return;
      }
      for (const Child& child : children_) {
        fds.push_back({child.pidfd, POLLIN, 0});
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      QV_ERROR("process manager poll failed - " << ::strerror(errno));
      return;
    }
    if (fds[0].revents != 0) {
      uint64_t count = 0;
      if (::read(mailbox_->eventFd, &count, sizeof(count)) < 0 && errno != EAGAIN) {
        QV_ERROR("unable to read the process manager's event descriptor - " << ::strerror(errno));
      }
    }
    std::vector<int> ready;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents != 0) {
        ready.push_back(fds[i].fd);
      }
    }
    std::vector<Exit> exits = mailbox_->take();
    _collectExitedPidfds(ready, exits);
    for (const Exit& exit : exits) {
      _notify(exit.child.pid, exit.status);
      if (exit.child.policy == ReapPolicy::Manager) {
        reapChild(exit.child.pid);
      }
      closeIfOpen(exit.child.pidfd);
    }
  }
}

void QVProcessManager::_collectExitedPidfds(const std::vector<int>& readyFds, std::vector<Exit>& exits) {
  for (int fd : readyFds) {
    Child child{-1, -1, ReapPolicy::Caller};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = std::find_if(children_.begin(), children_.end(), [fd](const Child& c) { return c.pidfd == fd; });
      if (it == children_.end()) {
        continue;
      }
      child = *it;
      children_.erase(it);
    }
    int status = 0;
    if (peekExitStatus(child.pid, child.pidfd, status)) {
      exits.push_back(Exit{child, status});
    } else {
      QV_DEBUG("child process " << child.pid << " was reaped before its exit could be reported");
      ::close(child.pidfd);
    }
  }
}

void QVProcessManager::_notify(pid_t pid, int status) {
  std::lock_guard<std::mutex> notifyLock(notifyMutex_);
  std::vector<HandlerToken> tokens;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : handlers_) {
      tokens.push_back(entry.first);
    }
  }
  for (HandlerToken token : tokens) {
    // Looked up again for each call so that a handler removed by an earlier
    // one is not called.
    ChildExitHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = std::find_if(handlers_.begin(), handlers_.end(),
                             [token](const std::pair<HandlerToken, ChildExitHandler>& e) { return e.first == token; });
      if (it == handlers_.end()) {
        continue;
      }
      handler = it->second;
    }
    try {
      if (handler) {
        handler(pid, status);
      }
    } catch (const std::exception& e) {
      QV_ERROR("caught exception in child exit handler - " << e.what());
    } catch (...) {
      QV_ERROR("caught exception in child exit handler");
    }
  }
}

QVProcessManager::HandlerToken QVProcessManager::addChildExitHandler(ChildExitHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_.emplace_back(++lastToken_, std::move(handler));
  return lastToken_;
}

bool QVProcessManager::removeChildExitHandler(HandlerToken token) {
  bool onManagerThread = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(handlers_.begin(), handlers_.end(),
                           [token](const std::pair<HandlerToken, ChildExitHandler>& e) { return e.first == token; });
    if (it == handlers_.end()) {
      return false;
    }
    handlers_.erase(it);
    onManagerThread = threadId_ == std::this_thread::get_id();
  }
  if (!onManagerThread) {
    // Waits out a notification in progress, which may be calling it.
    std::lock_guard<std::mutex> barrier(notifyMutex_);
  }
  return true;
}

}  // namespace Quorvel
