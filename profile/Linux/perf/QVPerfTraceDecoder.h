#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "ids/QVThreadId.h"
#include "Linux/perf/QVPerfDataFile.h"

namespace Quorvel {

class QVPerfTaskInfoManager;
class QVPerfTraceEventFormatTable;
class QVSessionProfile;
class QVSystemCallTenure;
class QVThreadTenureArchiver;
class QVSystemCallTenureArchiver;
class QVUniqueCallStackTenureArchiver;
struct QVPerfTaskInfo;

// Turns the records of perf.data files into call-stack, thread and
// system-call tenures. The recorder reads its three files through one
// decoder, `qvprof import-perf` reads a user's file through another; both
// then get the same session.
//
// Per file: the records are indexed in place (the file is mapped, never
// copied), tasks and executable mappings are learnt in file order, then the
// samples are handled in time order (equal times keep file order):
// - call-stack samples (no tracepoint raw data) end the processor's pending
//   tenure and start a new one lasting until the next sample on it;
// - sched_switch ends the tenure of the thread switched out, with the end
//   reason its state gives (running: preempted, sleeping: sleep, dead:
//   exit), and starts the next thread's;
// - sys_enter opens a pending system call of the thread, sys_exit closes it
//   with its result.
// The mappings become the section maps of the processes that perf named, so
// that exited processes still resolve their symbols.
//
// Used on one thread. Archivers left null are not filled.
class QVPerfTraceDecoder {
 public:
  // Files with tracepoint events are decoded with the formats perf saved in
  // them; `formats` (this machine's, asked for when first needed) serves
  // files without.
  using FormatSource = std::function<const QVPerfTraceEventFormatTable&()>;
  QVPerfTraceDecoder(QVPerfTaskInfoManager& tasks, FormatSource formats);
  ~QVPerfTraceDecoder();
  QVPerfTraceDecoder(const QVPerfTraceDecoder&) = delete;
  QVPerfTraceDecoder& operator=(const QVPerfTraceDecoder&) = delete;

  void setCallStackArchiver(std::shared_ptr<QVUniqueCallStackTenureArchiver> archiver);
  void setThreadTenureArchiver(std::shared_ptr<QVThreadTenureArchiver> archiver);
  void setSystemCallArchiver(std::shared_ptr<QVSystemCallTenureArchiver> archiver);
  // Where the files that perf's mappings name are looked for: empty for
  // this machine's own, else a directory holding a copy of the recording
  // machine's files under their paths (a file another machine recorded).
  // The vdso, which is not a file, is then left unresolved.
  void setSymbolRoot(const std::string& root) { symbolRoot_ = root; }

  // Reads one file; first and last are the smallest and largest sample
  // times in it (0 when none). False with `error()` when the file cannot be
  // mapped or its header and attributes cannot be trusted; records read
  // before damage in the record stream are still decoded.
  bool readFile(const std::string& path, std::uint64_t& first, std::uint64_t& last);
  // The same over bytes the caller keeps alive.
  bool readData(const void* data, std::size_t size, const std::string& name, std::uint64_t& first,
                std::uint64_t& last);

  // Ends what is still open at `endTick` (pending call stacks and the
  // running threads' tenures; open system calls are dropped) and makes
  // every tenure's ticks relative to `startTick`.
  void finish(std::uint64_t startTick, std::uint64_t endTick);

  // Hands the filled archivers (those holding tenures) to the profile as
  // its session data, spanning the given times and ticks 0 .. durationTicks.
  void addSessionData(QVSessionProfile& profile, const boost::posix_time::ptime& begin,
                      const boost::posix_time::ptime& end, std::uint64_t durationTicks) const;

  const std::string& error() const { return error_; }
  // Records that the decoder could not use, by reason, for the caller to
  // report once rather than per record.
  const std::map<std::string, std::uint64_t>& dropped() const { return dropped_; }
  std::uint64_t sampleRecordCount() const { return sampleRecords_; }

  static bool debugSampleRecords_;
  static bool debugSchedTraceRecords_;
  static bool debugSyscallTraceRecords_;

 private:
  struct CpuState;
  struct Mapping {
    std::uint64_t start, length, pageOffset;
    std::string path;
  };

  void _useFormats(const QVPerfDataFile& file);
  CpuState& _cpu(std::int32_t cpu);
  void _drop(const char* reason);
  void _learnRecord(const QVPerfDataFile& file, const QVPerfRecordRef& record);
  void _placeMappings();
  void _handleSample(const QVPerfSample& sample);
  void _handleCallStackSample(const QVPerfSample& sample);
  void _handleSchedSwitch(const QVPerfSample& sample);
  void _handleSyscallEnter(const QVPerfSample& sample);
  void _handleSyscallExit(const QVPerfSample& sample);
  void _archivePendingCallStack(CpuState& cpu, std::uint64_t endTick);
  const QVPerfTaskInfo* _idleTask();

  QVPerfTaskInfoManager& tasks_;
  FormatSource formatSource_;
  std::unique_ptr<QVPerfTraceEventFormatTable> fileFormats_;
  const QVPerfTraceEventFormatTable* formats_;
  std::shared_ptr<QVUniqueCallStackTenureArchiver> callStacks_;
  std::shared_ptr<QVThreadTenureArchiver> threadTenures_;
  std::shared_ptr<QVSystemCallTenureArchiver> systemCalls_;
  std::vector<std::unique_ptr<CpuState>> cpus_;
  std::unordered_map<QVThreadId, std::shared_ptr<QVSystemCallTenure>> pendingSystemCalls_;
  // Executable file mappings per pid, in the order perf reported them.
  std::unordered_map<std::int32_t, std::vector<Mapping>> mappings_;
  std::string symbolRoot_;
  std::uint64_t fileFirstTime_ = 0;
  std::uint64_t sampleRecords_ = 0;
  std::string error_;
  std::map<std::string, std::uint64_t> dropped_;
  // Field indexes of the three tracepoints, looked up once.
  int prevComm_ = -1, prevPid_ = -1, prevPrio_ = -1, prevState_ = -1, nextComm_ = -1, nextPid_ = -1,
      nextPrio_ = -1, enterId_ = -1, exitId_ = -1, exitRet_ = -1;
  std::vector<std::uint64_t> frames_;
};

}  // namespace Quorvel
