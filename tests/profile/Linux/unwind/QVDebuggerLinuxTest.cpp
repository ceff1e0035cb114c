#include <sys/ptrace.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>
#include <climits>

#include <gtest/gtest.h>

#include "base/QVLog.h"
#include "ids/QVSystemId.h"
#include "Linux/process/QVProcessLinux.h"
#include "Linux/unwind/QVDebuggerLinux.h"
#include "model/QVThread.h"
#include "samples/QVAbstractCallStack.h"
#include "support/ChildProbe.h"
#include "support/FakeProcTree.h"
#include "support/Registries.h"
#include "support/TestSupport.h"
#include "symbols/elf/QVModuleElf.h"
#include "symbols/QVModule.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace {

using test::ChildProbe;

// The text the probe keeps at its "text" address (DiscoveryProbe.cpp).
const char kProbeText[] = "quorvel discovery probe text 0123456789abcdef";

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

// Maps files written into a fake /proc for this (live) process, read by a
// debugger of a plain process object.
class MapsFixtureTest : public test::RegistryTest {
 protected:
  // What reading the maps text logged.
  std::string ReadMaps(const std::string& maps) {
    tree.writeFile("/proc/" + std::to_string(getpid()) + "/maps", maps);
    QVSystemPaths::ScopedRoot root(tree.root());
    debugger = std::make_unique<QVDebuggerLinux>(*process, false, true);
    return test::CaptureLog([this] { debugger->sectionMap(true); });
  }

  test::FakeProcTree tree;
  std::shared_ptr<QVProcess> process = std::make_shared<QVProcess>(
      QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), getpid(), 1), "self", "");
  std::unique_ptr<QVDebuggerLinux> debugger;
};

TEST_F(MapsFixtureTest, TwoExecutableMappingsOfOneFilePlaceSectionsOnceWithTheFirstBias) {
  const std::string probe = RealPath(QV_DISCOVERY_PROBE_G);
  const std::string maps =
      "55d000000000-55d000001000 r--p 00000000 fe:00 100 " + probe + "\n" +
      "55d000001000-55d000002000 r-xp 00001000 fe:00 100 " + probe + "\n" +
      "55d000002000-55d000003000 rw-p 00002000 fe:00 100 " + probe + "\n" +
      "7f0000001000-7f0000002000 r-xp 00001000 fe:00 100 " + probe + "\n";
  ReadMaps(maps);

  const QVModuleId moduleId = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(probe), process->architecture());
  const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(moduleId);
  ASSERT_TRUE(module);
  EXPECT_EQ(0x55d000001000u, debugger->moduleAddrMap().at(moduleId));

  // Every executable section once, shifted by the first mapping's bias.
  const unsigned long bias = 0x55d000001000u - 0x1000u - module->baseAddress();
  size_t executable = 0;
  for (const auto& section : module->sections()) {
    if (!section->isExecutable() || section->addressRange().length == 0) {
      continue;
    }
    ++executable;
    QVRange<unsigned long> range;
    const unsigned long location = section->addressRange().location + bias;
    EXPECT_EQ(section, debugger->sectionMap(false).valueAndRangeForLocation(location, range, true));
    EXPECT_EQ(location, range.location);
  }
  ASSERT_GT(executable, 0u);
  std::vector<QVRange<unsigned long>> ranges;
  debugger->sectionMap(false).getRangesInRange(QVRange<unsigned long>(0x7f0000000000u, 0x10000000), ranges);
  EXPECT_TRUE(ranges.empty());

  // Both executable mappings are segments; the others are not.
  const QVDebuggerLinux::SegmentMap segments = debugger->segmentMap();
  EXPECT_EQ(QVSegment(0x1000, probe), segments.valueForLocation(0x55d000001800u, true));
  EXPECT_EQ(QVSegment(0x1000, probe), segments.valueForLocation(0x7f0000001000u, true));
  EXPECT_FALSE(segments.containsValueForLocation(0x55d000000800u));
  EXPECT_FALSE(segments.containsValueForLocation(0x55d000002800u));
}

TEST_F(MapsFixtureTest, SuffixesAreCutAndUnusableLinesSkipped) {
  const std::string probe = RealPath(QV_DISCOVERY_PROBE_NOG);
  const std::string maps =
      "10000-11000 r-xp 00000000 fe:00 7 /tmp/qv-gone-library.so (deleted)\n"
      "20000-21000 r-xp 00001000 fe:00 8 " + probe + ".#prelink#.12345\n"
      "30000-31000 r-xp 00000000 fe:00 9 /tmp/qv-missing-library.so\n"
      "41000-40000 r-xp 00000000 fe:00 10 /tmp/qv-backwards.so\n"
      "50000-51000 r-xp 00000000 00:05 11 /dev/zero\n"
      "60000-61000 r-xp 00000000 00:00 0 \n"
      "70000-71000 rw-p 00000000 fe:00 12 /tmp/qv-data.so\n"
      "not a maps line\n";
  const std::string log = ReadMaps(maps);

  const QVDebuggerLinux::SegmentMap segments = debugger->segmentMap();
  EXPECT_EQ("/tmp/qv-gone-library.so", segments.valueForLocation(0x10000, true).path);
  EXPECT_EQ(probe, segments.valueForLocation(0x20000, true).path);
  EXPECT_EQ("/tmp/qv-missing-library.so", segments.valueForLocation(0x30000, true).path);
  EXPECT_FALSE(segments.containsValueForLocation(0x40800));
  EXPECT_FALSE(segments.containsValueForLocation(0x50000));
  EXPECT_FALSE(segments.containsValueForLocation(0x60000));
  EXPECT_FALSE(segments.containsValueForLocation(0x70000));

  // The prelinked file is the module under its final name.
  const QVModuleId moduleId = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(probe), process->architecture());
  EXPECT_EQ(0x20000u, debugger->moduleAddrMap().at(moduleId));

  // A deleted file that is gone is expected; a missing one is not.
  EXPECT_EQ(std::string::npos, log.find("failed to find /tmp/qv-gone-library.so"));
  EXPECT_NE(std::string::npos, log.find("failed to find /tmp/qv-missing-library.so module from "));
  EXPECT_NE(std::string::npos,
            log.find("skipping module with invalid address range 0x41000..0x40000 from 41000-40000"));
  EXPECT_NE(std::string::npos, log.find("skipping non-executable module (vm_flags=rw-p)"));
  EXPECT_NE(std::string::npos, log.find("skipping module without valid path: 60000-61000"));
}

TEST_F(MapsFixtureTest, VdsoLineGetsTheSharedVdsoModule) {
  ASSERT_NO_THROW(QVDebuggerLinux::_initVDSOModule());
  const std::shared_ptr<QVModule> vdso = QVDebuggerLinux::vdsoModule();
  if (!vdso) {
    GTEST_SKIP() << "this process has no vdso mapping";
  }
  ReadMaps("7ffd00000000-7ffd00002000 r-xp 00000000 00:00 0 [vdso]\n"
           "7ffe00000000-7ffe00002000 r-xp 00000000 00:00 0 [vdso]\n");
  EXPECT_EQ(0x7ffd00000000u, debugger->moduleAddrMap().at(vdso->moduleId()));
  std::vector<QVRange<unsigned long>> ranges;
  debugger->sectionMap(false).getRangesInRange(QVRange<unsigned long>(0x7ffd00000000u, 0x2000), ranges);
  EXPECT_FALSE(ranges.empty());
  // Placed once per pass: the second vdso line adds nothing.
  ranges.clear();
  debugger->sectionMap(false).getRangesInRange(QVRange<unsigned long>(0x7ffe00000000u, 0x2000), ranges);
  EXPECT_TRUE(ranges.empty());
}

TEST_F(MapsFixtureTest, MissingMapsFileIsReported) {
  QVSystemPaths::ScopedRoot root(tree.root());
  debugger = std::make_unique<QVDebuggerLinux>(*process, false, false);
  const std::string log = test::CaptureLog([this] { EXPECT_TRUE(debugger->sectionMap(true).isEmpty()); });
  EXPECT_NE(std::string::npos, log.find("non-existant module map " + tree.root() + "/proc/" +
                                        std::to_string(getpid()) + "/maps"));
}

// A live child, discovered, with its debugger.
class LiveChildTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    ASSERT_TRUE(child.start());
    const QVProcessId id = QVProcessLinux::updateProcessList(child.pid(), false);
    process = QVProcess::processWithId(id, false, false);
    ASSERT_TRUE(process);
    debugger = std::dynamic_pointer_cast<QVDebuggerLinux>(process->debugger());
    ASSERT_TRUE(debugger);
    text = child.address("text");
    ASSERT_NE(0u, text);
  }
  void TearDown() override {
    // However the test went, none of the child's threads is left traced.
    for (pid_t tid : Tids()) {
      EXPECT_NE('t', ChildProbe::taskState(child.pid(), tid)) << "thread " << tid;
    }
    RegistryTest::TearDown();
  }
  std::vector<pid_t> Tids() const {
    std::vector<pid_t> tids;
    std::unordered_set<QVThreadId> ids;
    QVTaskInfoLinux::getThreadIdsForProcess(process->processId(), ids, false);
    for (const QVThreadId& id : ids) {
      tids.push_back(static_cast<pid_t>(id.nativeIdentifier()));
    }
    return tids;
  }

  ChildProbe child{QV_DISCOVERY_PROBE_G};
  std::shared_ptr<QVProcess> process;
  std::shared_ptr<QVDebuggerLinux> debugger;
  uint64_t text = 0;
  QVThreadId Main() const { return QVThreadIdFromNativeIdentifier(child.pid(), child.pid()); }
};

TEST_F(LiveChildTest, ReadsAndWritesMemoryThroughTheMemFile) {
  if (test::PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  char buffer[sizeof(kProbeText)] = {};
  ASSERT_TRUE(debugger->readMemory(buffer, text, sizeof(kProbeText), QVThreadId::invalid()));
  EXPECT_STREQ(kProbeText, buffer);

  const char replacement[] = "QUORVEL";
  ASSERT_TRUE(debugger->writeMemory(text, replacement, 7, QVThreadId::invalid()));
  // Through the main thread's own file this time.
  ASSERT_TRUE(debugger->readMemory(buffer, text, sizeof(kProbeText), Main()));
  EXPECT_EQ(std::string("QUORVEL discovery probe text"), std::string(buffer, 28));
  // Unmapped memory: nothing to read.
  EXPECT_FALSE(debugger->readMemory(buffer, 0x10, 8, QVThreadId::invalid()));
}

TEST_F(LiveChildTest, PeeksWholeWordsOfAStoppedThreadAndRefusesUnaligned) {
  if (test::PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  ASSERT_TRUE(debugger->attachThread(Main()));
  EXPECT_EQ('t', ChildProbe::taskState(child.pid(), child.pid()));
  alignas(8) char buffer[24] = {};
  EXPECT_TRUE(debugger->_peekData(buffer, text, 16, child.pid()));
  EXPECT_EQ(std::string(kProbeText, 16), std::string(buffer, 16));
  EXPECT_FALSE(debugger->_peekData(buffer + 1, text, 16, child.pid()));  // unaligned buffer
  EXPECT_FALSE(debugger->_peekData(buffer, text, 6, child.pid()));       // partial word
  EXPECT_FALSE(debugger->_peekData(buffer, 0x10, 4, child.pid()));       // unmapped
  EXPECT_TRUE(debugger->detachThread(Main()));
  EXPECT_FALSE(debugger->detachThread(Main()));  // no longer traced
}

TEST_F(LiveChildTest, AttachStopsEveryThreadAndDetachReleasesThem) {
  if (test::PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  ASSERT_TRUE(debugger->attach());
  const std::vector<pid_t> tids = Tids();
  ASSERT_EQ(2u, tids.size());
  for (pid_t tid : tids) {
    EXPECT_EQ('t', ChildProbe::taskState(child.pid(), tid));
  }
  EXPECT_TRUE(debugger->detach());
}

TEST_F(LiveChildTest, SignalsAndRunningStates) {
  const QVThreadId main = Main();
  EXPECT_TRUE(debugger->isThreadRunning(main));
  EXPECT_TRUE(debugger->suspendProcess());
  EXPECT_TRUE(child.waitForState('T'));
  EXPECT_TRUE(debugger->resumeProcess());
  EXPECT_TRUE(child.waitForState('S'));

  std::shared_ptr<QVAbstractCallStack> stack;
  EXPECT_TRUE(debugger->getThreadCallStack(main, stack, 16));
  ASSERT_TRUE(stack);
  EXPECT_GT(stack->size(), 0);

  EXPECT_TRUE(debugger->isProcessRunning());
  EXPECT_TRUE(debugger->terminateProcess());
  child.finish();
  EXPECT_FALSE(debugger->isProcessRunning());
  EXPECT_FALSE(debugger->isThreadRunning(main));
  EXPECT_FALSE(process->isRunning());
  EXPECT_FALSE(debugger->suspendProcess());
}

}  // namespace
}  // namespace Quorvel
