#pragma once

#include <sys/types.h>

#include <optional>

#include "proc/QVProcTaskStatParser.h"

namespace Quorvel {

// One thread held under ptrace for the life of the object: seized and
// interrupted on construction (when possible), detached and resumed on
// destruction, whatever path leaves the scope. No stop signal is ever
// queued, so should this program die while holding a thread, the kernel
// detaches it and the thread simply runs on; a group stop the user asked
// for (SIGSTOP) is kept across the detach.
//
// Signals: the profiler's SIGINT/SIGTERM handlers only set a flag, so the
// wait for the attach stop is simply resumed when a handler interrupts it,
// and the detach still follows. A thread is held only between one attach
// and its detach within a single call; nothing here ever blocks with a
// thread held except that wait for the thread's own stop. Callers must not
// keep a guard alive across any wait of their own (timers, locks held by
// other threads, user input).
//
// A thread already traced by someone else (or by this process under
// another guard) is not attached again: the guard then holds nothing and
// detaches nothing, and the ptrace requests the caller makes succeed only
// when that other tracer has the thread stopped.
class QVTracedThread {
 public:
  // How the attach waits for the thread's stop. Blocking sleeps in the
  // kernel until the stop is reported, the fastest way. Polled is for
  // threads of this program's own children: any other wait of the program
  // for such a child (a launcher waiting for it to end) also collects the
  // stop reports of a traced child, and a report collected there would
  // leave a blocking wait, and the target, stopped for good; polling sees
  // the thread stopped instead.
  enum class WaitStyle { Blocking, Polled };

  // `debug` enables the warnings of a failed attach or detach.
  QVTracedThread(pid_t tid, bool debug, WaitStyle style = WaitStyle::Polled);
  ~QVTracedThread();
  QVTracedThread(const QVTracedThread&) = delete;
  QVTracedThread& operator=(const QVTracedThread&) = delete;

  // Whether this guard attached the thread and has it stopped.
  bool attached() const { return attached_; }
  pid_t tid() const { return tid_; }
  // Detaches now instead of at destruction; true when nothing was held or
  // the detach succeeded.
  bool release();

  // PTRACE_SEIZE and PTRACE_INTERRUPT, then a wait (__WALL) until the
  // thread reports the interrupt's stop (or a group stop), or, polled, is seen stopped after another wait of
  // this program collected the report. Signals that arrive first are delivered to the
  // thread. False when the thread cannot be attached or ends meanwhile; a
  // thread is never left traced on a false result. The end of a process
  // this program started itself is not reaped here: its own waiter gets it.
  static bool attach(pid_t tid, bool debug, WaitStyle style = WaitStyle::Polled);

  // attach() in two halves, so that many threads can be interrupted at once
  // and their stops collected together. interrupt() seizes the thread and
  // asks it to stop (false: not held, nothing to undo). pollStop() looks
  // once for its stop (waiting for it only when `style` is Blocking): a
  // thread found Stopped is held and must be detached, one still Pending
  // must be polled again (it cannot be detached before it stops), and one
  // Gone ended or could not be waited for and is no longer held. `round`
  // counts the polls of this thread so far.
  enum class StopPoll { Stopped, Pending, Gone };
  static bool interrupt(pid_t tid, bool debug);
  static StopPoll pollStop(pid_t tid, bool debug, WaitStyle style, int round);
  // The pause between two rounds of polls: sleeps from 5 µs growing to
  // 200 µs for a thread that is slow to be scheduled.
  static void pause(int round);
  // PTRACE_DETACH without a signal: the interrupt queued none. A thread
  // that is not in a stop (killed while held, on its way out) is waited for
  // and reaped, or stopped again and let go: it is never left traced, and
  // never left a zombie that holds back its process's exit.
  static bool detach(pid_t tid, bool debug);
  // /proc/<tid>/stat of a thread or process; empty when unreadable.
  static std::optional<QVProcTaskStat> taskStat(pid_t tid);

 private:
  // Whether `tid` is the leader of a process this program started: its
  // end is left for the program's own wait.
  static bool _isOwnProcess(pid_t tid);
  // Whether the interrupt's stop happened but its report was collected by
  // another wait of this program (see attach()).
  static bool _stopTakenByAnotherWaiter(pid_t tid);
  // Winds a call that the interrupt made fail with EINTR back to be made
  // again (see the source).
  static void _restartInterruptedCall(pid_t tid, int stopSignal);
  static bool _hasPendingSignal(pid_t tid);
  // detach() of a thread that is not in a stop (see the source).
  static bool _finishUnstopped(pid_t tid, bool debug);
  // Resumes a thread stopped by another signal, delivering it.
  static void _passSignal(pid_t tid, int signal, bool debug);

  pid_t tid_;
  bool debug_;
  bool attached_;
};

}  // namespace Quorvel
