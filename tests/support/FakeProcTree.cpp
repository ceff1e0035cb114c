#include "support/FakeProcTree.h"

#include <boost/filesystem.hpp>
#include <sstream>

namespace Quorvel {
namespace test {

FakeProcTree::FakeProcTree(uint64_t bootTimeSeconds) : scratch_("qvproc") {
  writeFile("/proc/stat",
            "cpu  4946 0 4760 85299 284 0 174 0 0 0\n"
            "cpu0 4946 0 4760 85299 284 0 174 0 0 0\n"
            "ctxt 379864\n"
            "btime " +
                std::to_string(bootTimeSeconds) +
                "\n"
                "processes 8029\n");
}

void FakeProcTree::writeFile(const std::string& absolutePath, const std::string& text) {
  WriteWholeFile(path(absolutePath), text);
}

std::string FakeProcTree::statText(const Task& task) {
  const int tid = task.tid != 0 ? task.tid : task.pid;
  std::ostringstream os;
  // Fields 1-24 as proc(5) numbers them, then a tail of zeros like the
  // kernel's remaining columns.
  os << tid << " (" << task.name << ") " << task.state << ' ' << task.ppid << ' ' << task.pid << ' ' << task.pid
     << " 0 -1 4194304 " << task.minorFaults << " 0 " << task.majorFaults << " 0 " << task.userTicks << ' '
     << task.systemTicks << " 0 0 20 0 " << task.threads << " 0 " << task.startTicks << ' ' << task.vmSizeKb * 1024
     << ' ' << task.vmRssKb / 4 << " 18446744073709551615 0 0 0 0 0 0 0 0 0 0 0 0 17 1 0 0\n";
  return os.str();
}

std::string FakeProcTree::statusText(const Task& task) {
  const int tid = task.tid != 0 ? task.tid : task.pid;
  std::ostringstream os;
  os << "Name:\t" << task.name << "\n"
     << "Umask:\t0022\n"
     << "State:\t" << task.state << " (sleeping)\n"
     << "Tgid:\t" << task.pid << "\n"
     << "Ngid:\t0\n"
     << "Pid:\t" << tid << "\n"
     << "PPid:\t" << task.ppid << "\n"
     << "TracerPid:\t0\n"
     << "Uid:\t" << task.uid << '\t' << task.uid << '\t' << task.uid << '\t' << task.uid << "\n"
     << "Gid:\t" << task.gid << '\t' << task.gid << '\t' << task.gid << '\t' << task.gid << "\n"
     << "FDSize:\t64\n"
     << "VmPeak:\t" << task.vmSizeKb + 4 << " kB\n"
     << "VmSize:\t" << task.vmSizeKb << " kB\n"
     << "VmLck:\t       0 kB\n"
     << "VmPin:\t       0 kB\n"
     << "VmHWM:\t" << task.vmRssKb + 8 << " kB\n"
     << "VmRSS:\t" << task.vmRssKb << " kB\n"
     << "RssAnon:\t     116 kB\n"
     << "VmData:\t     360 kB\n"
     << "VmStk:\t     132 kB\n"
     << "VmExe:\t      20 kB\n"
     << "VmLib:\t" << task.vmLibKb << " kB\n"
     << "VmPTE:\t      44 kB\n"
     << "VmSwap:\t       0 kB\n"
     << "Threads:\t" << task.threads << "\n"
     << "SigQ:\t0/96367\n"
     << "voluntary_ctxt_switches:\t" << task.voluntarySwitches << "\n"
     << "nonvoluntary_ctxt_switches:\t" << task.nonvoluntarySwitches << "\n";
  return os.str();
}

void FakeProcTree::addTask(const Task& task) {
  const int tid = task.tid != 0 ? task.tid : task.pid;
  const std::string stat = statText(task);
  const std::string status = statusText(task);
  const std::string own = "/proc/" + std::to_string(tid);
  const std::string grouped = "/proc/" + std::to_string(task.pid) + "/task/" + std::to_string(tid);
  // The kernel serves /proc/<tid> for every thread but lists only thread
  // group leaders; a plain directory cannot hide an entry, so other threads
  // appear only under their process's task folder.
  if (tid == task.pid) {
    writeFile(own + "/stat", stat);
    writeFile(own + "/status", status);
  }
  writeFile(grouped + "/stat", stat);
  writeFile(grouped + "/status", status);
}

void FakeProcTree::setExecutable(int id, const std::string& target) {
  const std::string link = path("/proc/" + std::to_string(id) + "/exe");
  boost::filesystem::create_directories(boost::filesystem::path(link).parent_path());
  boost::system::error_code ignored;
  boost::filesystem::remove(link, ignored);
  boost::filesystem::create_symlink(target, link);
}

void FakeProcTree::removeTask(int id) { boost::filesystem::remove_all(path("/proc/" + std::to_string(id))); }

}  // namespace test
}  // namespace Quorvel
