#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Quorvel {

// Starts child processes and reports the exits of the ones spawn() starts.
//
// Exit reports never take a child's status away from its owner: the manager
// reads the status without reaping (waitid with WNOWAIT), tells the
// handlers, and leaves the zombie for the caller's own waitpid(). Only
// children spawned with ReapPolicy::Manager are reaped by the manager, after
// the handlers have run. Children the manager did not start are never
// touched, and no SIGCHLD handler is installed, so code that waits for its
// own children (or traced threads) keeps working.
//
// Handlers run on the manager's own thread, one exit at a time. A child the
// caller reaps before the manager has read its status is not reported (the
// caller already knows how it ended).
class QVProcessManager {
 public:
  enum class ReapPolicy {
    Caller,   // the caller waits for the child; the manager never reaps it
    Manager,  // nobody waits; the manager reaps it after the handlers ran
  };
  // How exits are noticed. Automatic uses a pidfd per child polled by the
  // manager's thread, and falls back to Threads (one waiting thread per
  // child) on kernels without pidfd_open. Forcing Threads is for tests.
  enum class Watch { Automatic, Threads };

  using ChildExitHandler = std::function<void(pid_t pid, int status)>;
  using HandlerToken = unsigned long;

  static QVProcessManager& defaultManager();

  explicit QVProcessManager(Watch watch = Watch::Automatic);
  ~QVProcessManager();
  QVProcessManager(const QVProcessManager&) = delete;
  QVProcessManager& operator=(const QVProcessManager&) = delete;

  // The executable file that name refers to: a name containing "/" is
  // checked as it is, any other name is looked up in the ":"-separated
  // directories of path (an empty entry is the current directory). Empty
  // when not found or not executable by the effective user.
  std::string findExe(const std::string& name) const;  // searches $PATH
  std::string findExe(const std::string& name, const std::string& path) const;

  // Runs exe with args (not including the program name) in directory dir
  // (unchanged when empty), with stdin, stdout and stderr on /dev/null, and
  // waits for it. Returns the wait status, or -1 when it could not be
  // started. An exe without "/" is searched in $PATH; a relative one is
  // taken relative to the current directory, not to dir.
  int run(const std::string& exe, const std::vector<std::string>& args, const std::string& dir);
  // The same, collecting what the child writes to stdout and stderr.
  int run(const std::string& exe, const std::vector<std::string>& args, const std::string& dir,
          std::string& output);

  // Starts exe as run() does but with stdio inherited, and returns at once
  // with its pid, or -1 with errno set when it could not be started (missing
  // or non-executable file, bad directory; such a child exits with 127 and
  // is reaped before spawn returns). The child's exit is reported to the
  // handlers. With ReapPolicy::Caller the caller must reap the child.
  //
  // Every child starts with default signal dispositions and an empty signal
  // mask, and inherits no descriptor beyond stdin, stdout and stderr.
  pid_t spawn(const std::string& exe, const std::vector<std::string>& args, const std::string& dir,
              ReapPolicy policy = ReapPolicy::Caller);
  // The same with stdin on /dev/null and stdout and stderr on outputFd,
  // which stays the caller's to close: for tools whose chatter belongs in
  // a log rather than on the caller's terminal.
  pid_t spawn(const std::string& exe, const std::vector<std::string>& args, const std::string& dir, int outputFd,
              ReapPolicy policy = ReapPolicy::Caller);

  // Handlers are called in registration order with the child's pid and its
  // wait status. After removeChildExitHandler returns (on any thread but the
  // manager's) the handler is not running and will not be called again, so
  // the caller must not hold anything the handler waits for.
  HandlerToken addChildExitHandler(ChildExitHandler handler);
  bool removeChildExitHandler(HandlerToken token);

 private:
  struct Child {
    pid_t pid;
    int pidfd;  // -1 when a waiting thread watches the child instead
    ReapPolicy policy;
  };
  struct Exit {
    Child child;
    int status;
  };
  // What the per-child waiting threads share with the manager, kept alive by
  // them should the manager go first.
  struct Mailbox;

  pid_t _spawn(const std::string& exe, const std::vector<std::string>& args, const std::string& dir,
               bool quietStdio, int outputFd);
  void _watch(pid_t pid, ReapPolicy policy);
  void _ensureThread();
  void _threadBody();
  void _collectExitedPidfds(const std::vector<int>& readyFds, std::vector<Exit>& exits);
  void _notify(pid_t pid, int status);
  static void _waitingThreadBody(std::shared_ptr<Mailbox> mailbox, Child child);

  const Watch watch_;
  std::shared_ptr<Mailbox> mailbox_;

  std::mutex mutex_;  // guards children_, handlers_, lastToken_, quit_, threadId_
  std::vector<Child> children_;
  std::vector<std::pair<HandlerToken, ChildExitHandler>> handlers_;
  HandlerToken lastToken_ = 0;
  bool quit_ = false;
  std::thread::id threadId_;  // the manager's thread, once it runs

  // Held by the manager's thread while handlers run, so that removal can
  // wait for a handler that is running.
  std::mutex notifyMutex_;
  std::once_flag threadOnce_;
  std::thread thread_;
};

}  // namespace Quorvel
