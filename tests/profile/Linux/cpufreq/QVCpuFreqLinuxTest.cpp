#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Linux/cpufreq/QVCpuFreqDriverLinux.h"
#include "Linux/cpufreq/QVCpuFreqLinux.h"
#include "support/FakeCpuFreqTree.h"
#include "support/TestSupport.h"
#include "system/QVSystemPaths.h"

// Pinning and restoring over fixture /sys trees: the files a processor
// shows before, while pinned and after.
namespace Quorvel {
namespace {

using test::FakeCpuFreqTree;
using Processor = FakeCpuFreqTree::Processor;

// "governor min max setspeed" of one processor.
std::string Settings(const FakeCpuFreqTree& tree, unsigned index) {
  return tree.read(index, "scaling_governor") + " " + tree.read(index, "scaling_min_freq") + " " +
         tree.read(index, "scaling_max_freq") + " " + tree.read(index, "scaling_setspeed");
}

bool Contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

TEST(QVCpuFreqLinuxTest, StartPinsEachKindOfProcessorAndStopPutsBackWhatWasFound) {
  Processor userspaceOnly;
  userspaceOnly.governors = "userspace powersave";
  Processor neither;
  neither.governors = "powersave schedutil";
  Processor noFrequencies;
  noFrequencies.frequencies = "";
  Processor underUserspace;
  underUserspace.governors = "performance userspace";
  underUserspace.governor = "userspace";
  underUserspace.setspeed = "1600000";

  struct Case {
    const char* name;
    std::map<unsigned, Processor> processors;  // of two possible ones
    bool started;
    std::string pinned;  // Settings() of cpu0 while pinned
    std::vector<std::string> logged;
  };
  const Case cases[] = {
      {"performance offered: min and max at the top", {{0, Processor()}, {1, Processor()}}, true,
       "performance 2400000 2400000 <unsupported>", {}},
      {"only userspace: the top frequency through scaling_setspeed", {{0, userspaceOnly}}, true,
       "userspace 800000 2400000 2400000", {"ERROR CPU0: governor 'performance' is not available"}},
      {"neither governor: nothing changes", {{0, neither}}, false, "powersave 800000 2400000 <unsupported>",
       {"ERROR CPU0: unable to switch to 'performance' or 'userspace' governor"}},
      {"no frequencies: the setters refuse 0", {{0, noFrequencies}}, false, "performance 800000 2400000 <unsupported>",
       {"ERROR CPU0: frequency '0' is not available", "WARNING CPU0: unable to set maximum scaling frequency to 0 Hz",
        "WARNING CPU0: unable to set minimum scaling frequency to 0 Hz"}},
      {"a user frequency in force comes back", {{0, underUserspace}}, true,
       "performance 2400000 2400000 1600000", {}},
      {"a processor without cpufreq is skipped", {{0, Processor()}}, true,
       "performance 2400000 2400000 <unsupported>", {}},
      {"no processor with cpufreq: left alone, and that succeeds", {}, true, "   ", {}},
  };
  for (const Case& c : cases) {
    FakeCpuFreqTree tree(2);
    for (const auto& processor : c.processors) tree.addProcessor(processor.first, processor.second);
    const std::string before = tree.snapshot();
    QVSystemPaths::ScopedRoot root(tree.root());
    QVCpuFreqLinux cpufreq;
    ASSERT_EQ(cpufreq.drivers().size(), 2u) << c.name;
    EXPECT_EQ(cpufreq.drivers()[1]->isAvailable(), c.processors.count(1) == 1) << c.name;
    EXPECT_EQ(cpufreq.hasAvailableProcessor(), !c.processors.empty()) << c.name;

    const std::string log = test::CaptureLog([&] { EXPECT_EQ(cpufreq.start(), c.started) << c.name; });
    EXPECT_EQ(Settings(tree, 0), c.pinned) << c.name;
    for (const std::string& line : c.logged) EXPECT_TRUE(Contains(log, line)) << c.name << ": " << line << "\n" << log;
    if (c.processors.empty()) {
      EXPECT_EQ(log, "");
      EXPECT_EQ(cpufreq.drivers()[0]->filesystem(), nullptr);
    }
    if (c.processors.count(1)) {
      EXPECT_EQ(Settings(tree, 1), c.pinned) << c.name;
    }

    // A second start does not move the restore point.
    test::CaptureLog([&] { cpufreq.start(); });
    EXPECT_TRUE(cpufreq.stop()) << c.name;
    // Restoring writes the setting files back, never scaling_setspeed unless
    // a user frequency was in force, so it alone may keep the pinned value.
    std::string after = tree.snapshot();
    if (c.processors.count(0) && c.processors.at(0).governors == userspaceOnly.governors) {
      EXPECT_TRUE(Contains(after, "cpu0/scaling_setspeed=2400000")) << after;
      tree.write(0, "scaling_setspeed", "<unsupported>\n");
      after = tree.snapshot();
    }
    EXPECT_EQ(after, before) << c.name;
  }
}

TEST(QVCpuFreqLinuxTest, ReadersTrimAndSettersRefuseWhatCannotBeWritten) {
  Processor user;
  user.governors = "userspace\tpowersave \n";
  user.frequencies = " 2400000\n800000  turbo 1600000";  // unordered, a stray word
  user.governor = "userspace";
  FakeCpuFreqTree tree(2);
  tree.addProcessor(0);
  tree.addProcessor(1, user);
  tree.write(0, "scaling_max_freq", "  2400000 \n");
  QVSystemPaths::ScopedRoot root(tree.root());
  QVCpuFreqDriverLinux powersave(0);
  QVCpuFreqDriverLinux userspace(1);
  EXPECT_EQ(powersave.maxScalingFrequency(), 2400000u);
  EXPECT_EQ(powersave.savedSettings(), (QVCpuFreqDriver::Settings{"powersave", 800000, 2400000, 0}))
      << "no user frequency outside the userspace governor";
  EXPECT_EQ(userspace.savedSettings(), (QVCpuFreqDriver::Settings{"userspace", 800000, 2400000, 1600000}));
  EXPECT_EQ(userspace.governors(), (std::set<std::string>{"powersave", "userspace"}));
  EXPECT_EQ(userspace.frequencies(), (std::set<uint64_t>{800000, 1600000, 2400000}));

  struct Case {
    const char* name;
    std::function<bool()> set;
    bool result;
    std::string logged;  // "" for none
    unsigned cpu;
    const char* file;
    const char* after;
  };
  const Case cases[] = {
      {"no user frequency under another governor", [&] { return powersave.setUserScalingFrequency(2400000); },
       false, "", 0, "scaling_setspeed", "<unsupported>"},
      {"user frequency under userspace", [&] { return userspace.setUserScalingFrequency(2400000); }, true, "", 1,
       "scaling_setspeed", "2400000"},
      {"unknown frequency", [&] { return powersave.setMaxScalingFrequency(1000); }, false,
       "ERROR CPU0: frequency '1000' is not available", 0, "scaling_max_freq", "2400000"},
      {"unknown governor", [&] { return powersave.setGovernor("ondemand"); }, false,
       "ERROR CPU0: governor 'ondemand' is not available", 0, "scaling_governor", "powersave"},
  };
  for (const Case& c : cases) {
    bool result = !c.result;
    const std::string log = test::CaptureLog([&] { result = c.set(); });
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(log.substr(0, log.find(" [")), c.logged) << c.name;
    EXPECT_EQ(tree.read(c.cpu, c.file), c.after) << c.name;
  }
}

TEST(QVCpuFreqLinuxTest, DebugSwitchTellsEachStepAndIsSilentWhenOff) {
  FakeCpuFreqTree tree(1);
  tree.addProcessor(0);
  QVSystemPaths::ScopedRoot root(tree.root());
  for (const bool debug : {true, false}) {
    tree.addProcessor(0);
    QVCpuFreqDriverLinux::debug_ = debug;
    std::string log = test::CaptureLog([&] {
      QVCpuFreqLinux cpufreq;
      cpufreq.start();
      cpufreq.start();
    });
    QVCpuFreqDriverLinux::debug_ = false;
    const char* const steps[] = {
        "CPU0: added governor performance",           "CPU0: added frequency 2400000",
        "CPU0: switched to 'performance' governor",   "CPU0: leaving min scaling frequency as 2400000",
        "CPU0: switched min scaling frequency to 2400000", "CPU0: leaving governor as 'performance'",
        "CPU0: leaving max scaling frequency as 2400000",  "CPU0: switched to 'powersave' governor",
    };
    for (const char* step : steps) EXPECT_EQ(Contains(log, step), debug) << step << "\n" << log;
  }
}

TEST(QVCpuFreqLinuxTest, AReadOnlyFileFailsItsStepWithTheMessage) {
  struct Case {
    const char* file;
    const char* kept;
    std::vector<std::string> logged;
  };
  const Case cases[] = {
      {"scaling_max_freq", "1600000",
       {"ERROR CPU0: failed to switch max scaling frequency to 2400000",
        "WARNING CPU0: unable to set maximum scaling frequency to 2.4 GHz"}},
      {"scaling_min_freq", "800000",
       {"ERROR CPU0: failed to switch min scaling frequency to 2400000",
        "WARNING CPU0: unable to set minimum scaling frequency to 2.4 GHz"}},
      {"scaling_governor", "powersave",
       {"ERROR CPU0: failed to switch to 'performance' governor",
        "ERROR CPU0: unable to switch to 'performance' or 'userspace' governor"}},
  };
  for (const Case& c : cases) {
    FakeCpuFreqTree tree(1);
    // Capped below the top, so that pinning has to write the maximum too.
    Processor capped;
    capped.maximum = 1600000;
    tree.addProcessor(0, capped);
    ASSERT_EQ(::chmod(tree.path(0, c.file).c_str(), 0444), 0);
    const int status = test::RunInChild([&] {
      if (::geteuid() == 0 && !test::DropCapabilities()) return 2;
      QVSystemPaths::ScopedRoot root(tree.root());
      QVCpuFreqLinux cpufreq;
      bool started = true;
      const std::string log = test::CaptureLog([&] { started = cpufreq.start(); });
      int failures = started ? 1 : 0;
      for (const std::string& line : c.logged) {
        if (!Contains(log, line)) {
          std::fprintf(stderr, "%s: missing '%s' in:\n%s", c.file, line.c_str(), log.c_str());
          ++failures;
        }
      }
      return failures == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << c.file;
    EXPECT_EQ(tree.read(0, c.file), c.kept) << c.file << ": the read-only file kept its value";
  }
}

TEST(QVCpuFreqLinuxTest, TheProcessWideInstanceIsOneAndRestoresWhenTheProgramEnds) {
  FakeCpuFreqTree tree(2);
  tree.addProcessor(0);
  tree.addProcessor(1);
  const std::string before = tree.snapshot();
  const int status = test::RunInChild([&] {
    QVSystemPaths::ScopedRoot root(tree.root());
    {
      const auto cpufreq = QVCpuFreq::defaultCpuFreq();
      if (cpufreq != QVCpuFreq::defaultCpuFreq() || !cpufreq->start()) return 1;
      if (Settings(tree, 1) != "performance 2400000 2400000 <unsupported>") return 2;
    }
    // exit() runs the static destructors, as unloading the library does.
    std::exit(0);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(tree.snapshot(), before);
}

}  // namespace
}  // namespace Quorvel
