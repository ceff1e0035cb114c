#include "Linux/unwind/QVTracedThread.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>

#include "base/QVLog.h"
#include "proc/QVProcTaskStatParser.h"

namespace Quorvel {

namespace {

// Polls of the attach wait spent yielding before the thread's state is
// looked at.
constexpr int kRoundsBeforeLooking = 64;
// Rounds of pause() a thread that could not be detached is given to stop or
// end: about a second once the pauses have grown.
constexpr int kRoundsToFinish = 5000;

}  // namespace

QVTracedThread::QVTracedThread(pid_t tid, bool debug, WaitStyle style)
    : tid_(tid), debug_(debug), attached_(attach(tid, debug, style)) {}

QVTracedThread::~QVTracedThread() { release(); }

bool QVTracedThread::release() {
  if (!attached_) {
    return true;
  }
  attached_ = false;
  return detach(tid_, debug_);
}

bool QVTracedThread::attach(pid_t tid, bool debug, WaitStyle style) {
  if (!interrupt(tid, debug)) {
    return false;
  }
  for (int round = 0;; ++round) {
    switch (pollStop(tid, debug, style, round)) {
      case StopPoll::Stopped:
        return true;
      case StopPoll::Gone:
        return false;
      case StopPoll::Pending:
        if (style == WaitStyle::Polled) {
          pause(round);
        }
        break;
    }
  }
}

bool QVTracedThread::interrupt(pid_t tid, bool debug) {
  if (tid <= 0) {
    return false;
  }
  // Seized and interrupted rather than attached: no SIGSTOP is ever queued,
  // so a profiler that dies at any point leaves its target running, and the
  // target's own job control (a user's SIGSTOP and SIGCONT) is untouched.
  if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) == -1) {
    const int error = errno;
    if (debug) {
      QV_WARNING("failed to attach to " << tid << ": " << std::strerror(error));
    }
    return false;
  }
  if (::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == -1) {
    const int error = errno;
    if (debug) {
      QV_WARNING("failed to interrupt " << tid << ": " << std::strerror(error));
    }
    detach(tid, debug);
    return false;
  }
  return true;
}

QVTracedThread::StopPoll QVTracedThread::pollStop(pid_t tid, bool debug, WaitStyle style, int round) {
  // Looked at first without being consumed: the end of a process this
  // program started belongs to whoever waits for it (a probe fixture, the
  // process manager), and reaping it here would hand its pid to reuse
  // under that waiter's feet.
  //
  // Polled for a child of this program (see WaitStyle): another thread
  // waiting for it also takes the stop reports of a traced child, and a
  // blocking wait whose report went there would never return, leaving
  // the target stopped for good.
  const int options = WEXITED | WSTOPPED | __WALL | WNOWAIT | (style == WaitStyle::Polled ? WNOHANG : 0);
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(tid), &info, options) == -1) {
    const int error = errno;
    // A signal handler of the profiler ran; the thread is still ours to
    // finish with, so keep waiting for its stop and detach afterwards.
    if (error == EINTR) {
      return StopPoll::Pending;
    }
    if (debug) {
      QV_WARNING("waitpid failed for task " << tid << ": " << std::strerror(error));
    }
    // Whatever state the thread is in, it must not stay traced.
    detach(tid, debug);
    return StopPoll::Gone;
  }
  if (info.si_pid == 0) {
    if (round >= kRoundsBeforeLooking && _stopTakenByAnotherWaiter(tid)) {
      // Which stop it was is asked of the thread itself.
      siginfo_t stop{};
      if (::ptrace(PTRACE_GETSIGINFO, tid, nullptr, &stop) == -1) {
        return StopPoll::Pending;
      }
      if ((stop.si_code >> 8) == PTRACE_EVENT_STOP) {
        _restartInterruptedCall(tid, stop.si_signo);
        return StopPoll::Stopped;
      }
      _passSignal(tid, stop.si_signo, debug);
    }
    return StopPoll::Pending;
  }
  if (info.si_pid != tid) {
    if (debug) {
      QV_WARNING("waitpid for unexpected task " << info.si_pid << " (expected " << tid << ")");
    }
    return StopPoll::Pending;
  }
  const bool ended = info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
  int status = 0;
  if (!ended || !_isOwnProcess(tid)) {
    // Never blocking: another wait may have taken the report since.
    if (::waitpid(tid, &status, __WALL | WNOHANG) != tid) {
      return StopPoll::Pending;
    }
  }
  if (ended) {
    if (debug) {
      if (info.si_code == CLD_EXITED) {
        QV_WARNING("process " << tid << " exited");
      } else {
        QV_WARNING("process " << tid << " terminated");
      }
    }
    return StopPoll::Gone;
  }
  if (WIFSTOPPED(status)) {
    const int signal = WSTOPSIG(status);
    // The interrupt's stop, or a group stop the thread was in or entered
    // meanwhile; both leave no signal to deliver.
    if ((status >> 16) == PTRACE_EVENT_STOP) {
      _restartInterruptedCall(tid, signal);
      return StopPoll::Stopped;
    }
    _passSignal(tid, signal, debug);
    return StopPoll::Pending;
  }
  if (debug) {
    QV_WARNING("waitpid unexpected status " << status << " for thread " << tid);
  }
  return StopPoll::Pending;
}

// An interrupt that lands while the thread enters a system call the kernel
// never restarts (epoll_wait, sigtimedwait, semtimedop, ...) makes that call
// fail with EINTR although no signal arrived. The sampler interrupts only
// threads seen running, so this is the rare race with a thread that blocked
// just after being looked at: the call is wound back to be made again, as
// the kernel does for restartable calls. A thread with a signal pending is
// left alone, since that EINTR is the program's to see.
void QVTracedThread::_restartInterruptedCall(pid_t tid, int stopSignal) {
  if (stopSignal != SIGTRAP) {
    return;
  }
  user_regs_struct regs{};
  if (::ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == -1) {
    return;
  }
  if (static_cast<long>(regs.orig_rax) < 0 || static_cast<long>(regs.rax) != -EINTR || _hasPendingSignal(tid)) {
    return;
  }
  // The two bytes of the `syscall` instruction.
  regs.rax = regs.orig_rax;
  regs.rip -= 2;
  ::ptrace(PTRACE_SETREGS, tid, nullptr, &regs);
}

bool QVTracedThread::_hasPendingSignal(pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
      if (std::strtoull(line.c_str() + 7, nullptr, 16) != 0) {
        return true;
      }
    }
  }
  return false;
}

// A signal that arrived before our interrupt belongs to the program: it is
// delivered, and the wait goes on for the stop we asked for. Should the
// thread be killed meanwhile, the request fails and the next wait reports
// how it ended.
void QVTracedThread::_passSignal(pid_t tid, int signal, bool debug) {
  if (debug) {
    QV_WARNING("passing along signal " << signal << " to thread " << tid);
  }
  ::ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(signal)));
}

// Most threads stop within microseconds of the interrupt, so the first
// pauses are short; a thread slow to be scheduled is waited for in growing
// steps. Never a yield: on a busy machine the scheduler sends a thread that
// yields behind every runnable thread, a slice each, while a sleeper is
// woken in time.
void QVTracedThread::pause(int round) {
  const long micros = std::min(200L, 5L << std::min(round / 8, 6));
  const timespec pause{0, micros * 1000};
  ::nanosleep(&pause, nullptr);
}

// Stopped under ptrace ('t') with no report left to collect: someone else
// collected it. The thread is attached and stopped all the same. The state
// is set before the report is queued, so the report is looked for again
// after the state was seen.
bool QVTracedThread::_stopTakenByAnotherWaiter(pid_t tid) {
  const std::optional<QVProcTaskStat> stat = taskStat(tid);
  if (!stat || stat->state != 't') {
    return false;
  }
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(tid), &info, WSTOPPED | __WALL | WNOWAIT | WNOHANG) == 0 &&
         info.si_pid == 0;
}

std::optional<QVProcTaskStat> QVTracedThread::taskStat(pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(tid) + "/stat");
  std::string text;
  std::getline(in, text);
  return QVProcTaskStatParser::parse(text);
}

bool QVTracedThread::_isOwnProcess(pid_t tid) {
  const std::optional<QVProcTaskStat> stat = taskStat(tid);
  // Threads other than the leader are never waited for by the parent.
  return stat && stat->ppid == static_cast<int>(::getpid()) && ::syscall(SYS_tgkill, tid, tid, 0) == 0;
}

bool QVTracedThread::detach(pid_t tid, bool debug) {
  if (::ptrace(PTRACE_DETACH, tid, nullptr, nullptr) == 0) {
    return true;
  }
  const int error = errno;
  if (error == ESRCH) {
    return _finishUnstopped(tid, debug);
  }
  if (debug) {
    QV_WARNING("failed to detach from " << tid << ": " << std::strerror(error));
  }
  return false;
}

// ESRCH: the thread is ours but not in a stop, or no longer ours at all. Ours
// and running happens to a thread killed while held (another thread called
// exit, or SIGKILL came): it is on its way out, and a traced thread that
// ends becomes a zombie only its tracer may reap. Until it is reaped the
// kernel holds back the end of its whole process from the parent, so a
// launcher waiting for the program would wait for ever. It is therefore
// waited for here and reaped; one that is alive after all is stopped
// again and let go.
bool QVTracedThread::_finishUnstopped(pid_t tid, bool debug) {
  for (int round = 0; round < kRoundsToFinish; ++round) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(tid), &info, WEXITED | WSTOPPED | __WALL | WNOWAIT | WNOHANG) == -1) {
      if (errno == EINTR) {
        continue;
      }
      // ECHILD: not traced by this program (any more); nothing to undo.
      return true;
    }
    if (info.si_pid == 0) {
      if (round == 0) {
        // A live thread is made to stop so that it can be let go; one on its
        // way out refuses, and its end is reported shortly.
        ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
      }
      pause(round);
      continue;
    }
    const bool ended = info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
    if (ended && _isOwnProcess(tid)) {
      // The leader of a process this program started: its end is its
      // waiter's to collect.
      return true;
    }
    int status = 0;
    if (::waitpid(tid, &status, __WALL | WNOHANG) != tid) {
      continue;
    }
    if (ended) {
      return true;
    }
    const bool eventStop = WIFSTOPPED(status) && (status >> 16) == PTRACE_EVENT_STOP;
    const int signal = WIFSTOPPED(status) && !eventStop ? WSTOPSIG(status) : 0;
    if (::ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(signal))) == 0) {
      return true;
    }
  }
  if (debug) {
    QV_WARNING("failed to detach from " << tid << ": it neither stopped nor ended");
  }
  return false;
}

}  // namespace Quorvel
