#include "ImportPerfCommand.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <ostream>

#include <boost/date_time/posix_time/conversion.hpp>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVException.h"
#include "config/QVSessionConfig.h"
#include "Linux/perf/QVPerfTaskInfoManager.h"
#include "Linux/perf/QVPerfTraceDecoder.h"
#include "Linux/perf/QVPerfTraceRecorderLinux.h"
#include "LogOptions.h"
#include "RecordingProperties.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

Arguments ImportPerfCommand::arguments() const {
  std::vector<Option> options = {
      {"output", 'o', "FILE", "the session file to write (default qvprof.session)"},
      {"compress", 0, "", "write the session file gzip-compressed"},
      {"symfs", 0, "DIR",
       "look for the programs, libraries and kernel symbols (DIR/proc/kallsyms) that the recording names under "
       "DIR, for a file recorded on another machine (default: this machine's own)"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Turns a perf.data file recorded on this machine into a session file that report,\n"
                      "script and info read: call stacks (perf record -g, with or without -R), thread\n"
                      "runs from sched:sched_switch and system calls from raw_syscalls:sys_enter and\n"
                      "sys_exit, in one file or several events of one file.",
                      options, "PERF.DATA", 1, 1);
  arguments.setNotes("Exit status: 0 when the session was written, 1 when it could not be, 2 for a\n"
                     "wrong command line.");
  return arguments;
}

std::shared_ptr<QVSessionProfile> ImportPerfCommand::import(const std::string& path,
                                                             std::map<std::string, uint64_t>* dropped,
                                                             const std::string& symbolRoot) {
  // The kernel and the tasks perf named belong to the recording machine:
  // under a symbol root, /proc is read from there too.
  std::optional<QVSystemPaths::ScopedRoot> root;
  if (!symbolRoot.empty()) root.emplace(symbolRoot);
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
  config->setName("qvprof import-perf");
  config->description();
  QVPerfTaskInfoManager tasks(config);
  tasks.addKernelTaskInfo(true);
  QVPerfTraceDecoder decoder(tasks, &QVPerfTraceRecorderLinux::eventFormats);
  decoder.setSymbolRoot(symbolRoot);
  decoder.setCallStackArchiver(std::make_shared<QVUniqueCallStackTenureArchiver>());
  decoder.setThreadTenureArchiver(std::make_shared<QVThreadTenureArchiver>());
  decoder.setSystemCallArchiver(std::make_shared<QVSystemCallTenureArchiver>());
  uint64_t first = 0, last = 0;
  if (!decoder.readFile(path, first, last)) throw QVException(decoder.error(), __LINE__, __FILE__);
  decoder.finish(first, last);
  if (dropped) *dropped = decoder.dropped();

  // perf's clock has no date: the recording is placed to end when the file
  // was last written.
  struct stat status;
  boost::posix_time::ptime end = boost::posix_time::second_clock::universal_time();
  if (::stat(path.c_str(), &status) == 0) end = boost::posix_time::from_time_t(status.st_mtime);
  const boost::posix_time::ptime begin =
      end - boost::posix_time::microseconds(static_cast<int64_t>((last - first) / 1000));
  auto profile = std::make_shared<QVSessionProfile>(config, begin, end, false, true);
  decoder.addSessionData(*profile, begin, end, last - first);
  QVPropertyMap& properties = profile->mutableProperties();
  properties.setString(QVSessionProfile::KeyProfileDriverName, "perf");
  properties.setString(RecordingProperties::Command, "perf.data " + path);
  return profile;
}

int ImportPerfCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  const std::string output = arguments.value("output", "qvprof.session");
  if (output.empty()) throw UsageError(name(), "--output: the file name is empty");
  const std::string& path = arguments.operands().front();
  std::string symbolRoot = arguments.value("symfs", "");
  while (symbolRoot.size() > 1 && symbolRoot.back() == '/') symbolRoot.pop_back();
  if (arguments.has("symfs") && !DirectoryExists(symbolRoot)) {
    throw UsageError(name(), "--symfs: '" + symbolRoot + "' is not a directory");
  }
  if (symbolRoot == "/") symbolRoot.clear();
  std::map<std::string, uint64_t> dropped;
  const std::shared_ptr<QVSessionProfile> profile = import(path, &dropped, symbolRoot);
  // Tracepoints of another kernel carry ids this machine does not know;
  // the user learns what was left out rather than finding it missing.
  for (const auto& entry : dropped) {
    err << "qvprof: left out " << entry.second << " records of " << path << ": " << entry.first << '\n';
  }
  const auto samples = profile->callStackData();
  const auto threads = profile->threadTenureData();
  const auto calls = profile->systemCallData();
  if (!samples && !threads && !calls) {
    throw QVException(path + " holds no call stacks, scheduler or system-call records; no session written",
                      __LINE__, __FILE__);
  }
  QVSessionFile::write(*profile, output, arguments.has("compress"));
  err << "qvprof: wrote " << (samples ? samples->samples().size() : 0) << " samples, "
      << (threads ? threads->samples().size() : 0) << " thread runs and " << (calls ? calls->samples().size() : 0)
      << " system calls from " << path << " to " << output << '\n';
  out.flush();
  return ExitSuccess;
}

}  // namespace qvprof
}  // namespace Quorvel
