#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CpuFreqCommand.h"
#include "RecordCommand.h"
#include "support/FakeCpuFreqTree.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

// "qvprof record --pin-cpufreq" and "qvprof cpufreq" on fixture /sys trees:
// each command runs in a process of its own, as a user runs it, with the
// fixture as its root; the fixture's /proc is the machine's, so recordings
// sample real programs.
namespace Quorvel {
namespace {

using test::FakeCpuFreqTree;
using Clock = std::chrono::steady_clock;

const char* const kFound = "powersave 800000 2400000";
const char* const kPinned = "performance 2400000 2400000";

std::string ReadFile(const std::string& path) {
  std::string text;
  FileReadString(path, text);
  return text;
}

bool Contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// "governor min max" of one processor.
std::string Settings(const FakeCpuFreqTree& tree, unsigned index) {
  return tree.read(index, "scaling_governor") + " " + tree.read(index, "scaling_min_freq") + " " +
         tree.read(index, "scaling_max_freq");
}

// A fixture machine with two processors offering frequency scaling, and
// files for the output of the commands run on it.
struct Machine {
  explicit Machine(bool withCpufreq = true) : tree(2) {
    if (withCpufreq) {
      tree.addProcessor(0);
      tree.addProcessor(1);
    }
    tree.linkRealSystemTrees();
  }
  std::string state() const { return tree.root() + "/run/qvprof/cpufreq.state"; }
  // What a killed run leaves: its state file, with the settings it found.
  void leaveState(const std::string& lines) const {
    ASSERT_EQ(::mkdir((tree.root() + "/run").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((tree.root() + "/run/qvprof").c_str(), 0755), 0);
    std::ofstream(state()) << "cpufreq-state 1\n" << lines;
  }
  std::string file(const std::string& name) const { return scratch.file(name); }

  // Starts the command in a child process under the fixture root; its
  // streams go to files named after `label`.
  pid_t start(qvprof::Command& command, const std::vector<std::string>& args, const std::string& label) const {
    const std::string outPath = file(label + ".out");
    const std::string errPath = file(label + ".err");
    const std::string root = tree.root();
    return test::StartChild([&command, args, outPath, errPath, root] {
      QVSystemPaths::ScopedRoot scoped(root);
      std::ofstream out(outPath);
      std::ofstream err(errPath);
      try {
        return command.run(args, out, err);
      } catch (const std::exception& error) {
        err << "qvprof: " << error.what() << '\n';
        return 1;
      }
    });
  }
  int run(qvprof::Command& command, const std::vector<std::string>& args, const std::string& label) const {
    return test::WaitForChild(start(command, args, label));
  }
  std::string out(const std::string& label) const { return ReadFile(file(label + ".out")); }
  std::string err(const std::string& label) const { return ReadFile(file(label + ".err")); }

  FakeCpuFreqTree tree;
  test::ScratchDirectory scratch{"qvcpufreqcli"};
};

// Waits (at most 20 s, an upper bound only) until check() holds.
bool WaitUntil(const std::function<bool()>& check) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!check()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A target that notes the governor it runs under, then spins long enough to
// be sampled (about half a second of shell arithmetic).
std::vector<std::string> BusyTarget(const Machine& machine) {
  return {"/bin/sh", "-c",
          "cat " + machine.tree.path(0, "scaling_governor") + " > " + machine.file("seen") + " 2>/dev/null" +
              "; i=0; while [ $i -lt 150000 ]; do i=$((i+1)); done"};
}

// However a pinned recording ends (its program's end, an error after
// pinning, Ctrl-C) it puts back the settings it found, and first what an
// earlier, killed run left pinned; a killed one leaves them to the next
// process. Without frequency scaling it says so once and records anyway.
TEST(CpuFreqCommandTest, EveryWayARecordingEndsRestoresWhatItPinnedAndAKilledOneIsRestoredByTheNextProcess) {
  struct Case {
    const char* name;
    bool withCpufreq;
    bool leftover;                    // an earlier run left the processors pinned
    int signal;                       // sent to qvprof once pinned and the program started; 0: none
    std::vector<std::string> target;  // after "-o FILE"; empty: the busy target, recorded to its end
    const char* said;
  };
  const std::vector<std::string> sleeper = {"--", "/bin/sh", "-c", "echo $$ > \"$0\"; exec sleep 30"};
  const Case cases[] = {
      {"pinned and restored", true, false, 0, {}, "qvprof: pinned 2 processors at 2.4 GHz for the recording"},
      {"an earlier run's pinning is put back first", true, true, 0, {},
       "qvprof: restored the CPU frequency settings of 2 processors an earlier qvprof left pinned"},
      {"no cpufreq: said once, recorded anyway", false, false, 0, {},
       "qvprof: no CPU frequency scaling on this machine (no /sys/devices/system/cpu/cpu*/cpufreq); recording "
       "without pinning"},
      {"Ctrl-C", true, false, SIGINT, sleeper, ""},
      // Pins first, then finds there is no such process: an error after pinning.
      {"an error", true, false, 0, {"--pid", "4194303"}, ""},
      {"SIGKILL", true, false, SIGKILL, sleeper, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Machine machine(c.withCpufreq);
    if (c.leftover) {
      for (unsigned cpu : {0u, 1u}) {
        machine.tree.write(cpu, "scaling_governor", "performance\n");
        machine.tree.write(cpu, "scaling_min_freq", "2400000\n");
      }
      machine.leaveState("cpu 0 governor powersave min 800000 max 2400000 user 0\n"
                         "cpu 1 governor powersave min 800000 max 2400000 user 0\n");
    }
    const std::string session = machine.file("s.session");
    // The sleeper notes its pid in the file named by its $0.
    const std::string targetPid = machine.file("target.pid");
    std::vector<std::string> args = {"--pin-cpufreq", "-o", session};
    const std::vector<std::string> target = c.target.empty() ? BusyTarget(machine) : c.target;
    if (c.target.empty()) args.push_back("--");
    args.insert(args.end(), target.begin(), target.end());
    if (c.target == sleeper) args.push_back(targetPid);
    qvprof::RecordCommand record;
    const pid_t pid = machine.start(record, args, "record");
    if (c.signal != 0) {
      // Pinned, and the program started (so that there is one to end).
      ASSERT_TRUE(WaitUntil([&] {
        return FileExists(machine.state()) && Settings(machine.tree, 1) == kPinned && !ReadFile(targetPid).empty();
      }));
      ::kill(pid, c.signal);
    }
    const int exit = test::WaitForChild(pid);
    const std::string err = machine.err("record");
    EXPECT_TRUE(Contains(err, c.said)) << err;
    if (c.target.empty()) {
      EXPECT_EQ(exit, 0) << err;
      EXPECT_TRUE(FileExists(session));
      if (c.withCpufreq) {
        EXPECT_EQ(ReadFile(machine.file("seen")), "performance") << "the program ran pinned";
      }
    }
    if (c.signal == SIGKILL) {
      EXPECT_EQ(exit, 128 + SIGKILL);
      // The launched program outlives its killed recorder; it is ours to end.
      const pid_t launched = static_cast<pid_t>(std::atoi(ReadFile(targetPid).c_str()));
      if (launched > 0) ::kill(launched, SIGKILL);
      EXPECT_EQ(Settings(machine.tree, 0), kPinned);
      EXPECT_TRUE(FileExists(machine.state()));
      qvprof::CpuFreqCommand status;
      EXPECT_EQ(machine.run(status, {}, "status"), 0);
      EXPECT_TRUE(Contains(machine.out("status"), "run 'qvprof cpufreq --restore'")) << machine.out("status");
      qvprof::CpuFreqCommand restore;
      EXPECT_EQ(machine.run(restore, {"--restore"}, "restore"), 0) << machine.err("restore");
      EXPECT_TRUE(Contains(machine.err("restore"), "restored the CPU frequency settings of 2 processors"))
          << machine.err("restore");
    }
    if (c.withCpufreq) {
      EXPECT_EQ(Settings(machine.tree, 0), kFound) << err;
      EXPECT_EQ(Settings(machine.tree, 1), kFound);
    }
    EXPECT_FALSE(FileExists(machine.state())) << "nothing is left to restore";
  }
}

TEST(CpuFreqCommandTest, StatusShowsEachProcessorAndRestoreSaysWhatItDidOrKeepsTheStateWhenItCannotWrite) {
  Machine machine;
  machine.tree.write(1, "scaling_governor", "performance\n");
  qvprof::CpuFreqCommand command;
  ASSERT_EQ(machine.run(command, {}, "status"), 0) << machine.err("status");
  const std::string expected =
      "CPU  GOVERNOR     MIN      MAX      CURRENT  GOVERNORS              FREQUENCIES\n"
      "0    powersave    800 MHz  2.4 GHz  1.6 GHz  performance powersave  800 MHz to 2.4 GHz (3 steps)\n"
      "1    performance  800 MHz  2.4 GHz  1.6 GHz  performance powersave  800 MHz to 2.4 GHz (3 steps)\n";
  EXPECT_EQ(machine.out("status"), expected);

  ASSERT_EQ(machine.run(command, {"--restore"}, "nothing"), 0);
  EXPECT_EQ(machine.out("nothing"), "Nothing to restore: " + machine.state() + " does not exist.\n");

  Machine bare(false);
  ASSERT_EQ(bare.run(command, {}, "bare"), 0);
  EXPECT_EQ(bare.out("bare"),
            "No CPU frequency scaling on this machine: no /sys/devices/system/cpu/cpuN/cpufreq directory for any "
            "of its 2 processors.\n");

  // A restore that cannot write keeps the state for later.
  machine.tree.write(0, "scaling_governor", "performance\n");
  machine.leaveState("cpu 0 governor powersave min 800000 max 2400000 user 0\n");
  ASSERT_EQ(::chmod(machine.tree.path(0, "scaling_governor").c_str(), 0444), 0);
  const std::string errPath = machine.file("denied.err");
  const std::string root = machine.tree.root();
  const int status = test::RunInChild([&] {
    if (::geteuid() == 0 && !test::DropCapabilities()) return 3;
    QVSystemPaths::ScopedRoot scoped(root);
    std::ostringstream out;
    std::ofstream err(errPath);
    return command.run({"--restore"}, out, err);
  });
  EXPECT_EQ(status, 1);
  const std::string err = ReadFile(errPath);
  EXPECT_TRUE(Contains(err, "qvprof: cpufreq: CPU0: failed to switch to 'powersave' governor")) << err;
  EXPECT_TRUE(Contains(err, "they stay in " + machine.state() + " for 'qvprof cpufreq --restore'")) << err;
  EXPECT_TRUE(FileExists(machine.state()));
}

}  // namespace
}  // namespace Quorvel
