#include "model/QVProcess.h"

#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "base/QVException.h"
#include "data/QVData.h"
#include "ids/QVFileId.h"
#include "ids/QVSystemId.h"
#include "model/QVProcessDiscovery.h"
#include "support/ArchiveRoundTrip.h"
#include "support/Registries.h"
#include "support/ScriptedDiscovery.h"
#include "support/TestCallFrame.h"
#include "support/TestDebugger.h"
#include "support/TestSupport.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSection.h"
#include "symbols/QVSectionId.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSymbolId.h"

namespace Quorvel {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;
using test::TestCallFrame;
using test::TestDebugger;

// Start times are nanoseconds since the epoch in process ids; any distinct
// values serve, these are 2020-01-01 and a second later.
const uint64_t kEarlierStart = 1577836800000000000ull;
const uint64_t kLaterStart = 1577836801000000000ull;

QVProcessId CurrentProcessId(int64_t pid, uint64_t start = kEarlierStart) {
  return QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid, start);
}

QVSystemId OtherSystem() { return QVSystemId::uniqueSystemId("qvtest-other-machine", "other"); }

std::shared_ptr<QVSection> MakeSection(const std::string& path, int index, const std::string& name) {
  const QVModuleId module = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(path), QVArchitectureX86_64);
  return std::make_shared<QVSection>(QVSectionId::uniqueSectionId(module, index), name, 0x1 | 0x2,
                                     QVRange<unsigned long>(0x1000, 0x2000), QVRange<long>(0x1000, 0x2000));
}

// A process filled the way the platform layer fills one: through the
// protected fields that have no public setter.
class DiscoveredProcess : public QVProcess {
 public:
  explicit DiscoveredProcess(const QVProcessId& id, const std::string& name = "", const std::string& path = "")
      : QVProcess(id, name, path) {}
  void setParent(const QVProcessId& parent) { parentProcessId_ = parent; }
  void addIcon(const std::shared_ptr<QVData>& icon) { icons_.push_back(icon); }
};

class QVProcessTest : public test::ModelTest {
 protected:

  std::shared_ptr<test::ScriptedDiscovery> InstallDiscovery() {
    auto discovery = std::make_shared<test::ScriptedDiscovery>();
    QVProcessDiscovery::install(discovery);
    return discovery;
  }

  // A registered process of this machine that its debugger reports running.
  std::shared_ptr<QVProcess> RunningProcess(int64_t pid, const std::string& name, const std::string& path) {
    auto process = std::make_shared<QVProcess>(CurrentProcessId(pid), name, path);
    process->setDebugger(std::make_shared<TestDebugger>(*process, true));
    QVProcess::registerProcess(process);
    return process;
  }
};

// --- registry ---------------------------------------------------------------

TEST_F(QVProcessTest, RegistrationRejectsInvalidAndDuplicateIdsAndFlushFreesThem) {
  EXPECT_EQ("invalid process id @ QVProcess:112",
            test::ThrownQVException([] { QVProcess::registerProcess(std::make_shared<QVProcess>()); }));

  const QVProcessId id = CurrentProcessId(4321);
  auto first = std::make_shared<QVProcess>(id, "first", "/bin/first");
  QVProcess::registerProcess(first);
  QVProcess::registerProcess(first);  // the same object again changes nothing
  EXPECT_EQ(first, QVProcess::processWithId(id, false, false));

  EXPECT_EQ("duplicate process id: " + test::Text(id) + " @ QVProcess:117", test::ThrownQVException([&] {
              QVProcess::registerProcess(std::make_shared<QVProcess>(id, "second", "/bin/second"));
            }));
  EXPECT_EQ(first, QVProcess::processWithId(id, false, false)) << "a failed registration replaced the entry";

  // A flush empties the registry and frees the ids.
  QVProcess::flushRegisteredProcesses();
  EXPECT_FALSE(QVProcess::processWithId(id, false, false));
  // After a flush the id is free for a new object.
  QVProcess::registerProcess(std::make_shared<QVProcess>(id, "q", ""));
  EXPECT_EQ("q", QVProcess::processWithId(id, false, false)->name());
}

TEST_F(QVProcessTest, ProcessWithIdAsksDiscoveryOnlyForUnknownIdsOfThisMachineWhenUpdating) {
  // Without the platform's discovery, updating finds nothing new.
  EXPECT_FALSE(QVProcess::processWithId(CurrentProcessId(901), true, true));
  EXPECT_FALSE(QVProcess::updateProcessList(901, false).isValid());
  EXPECT_FALSE(QVProcess::processWithNativeIdentifier(901, true, false));
  EXPECT_FALSE(QVProcess::kernelProcessForSystem(QVSystemId::currentSystemId(), false));

  auto discovery = InstallDiscovery();
  const QVProcessId id = CurrentProcessId(900);
  auto found = std::make_shared<QVProcess>(id, "found", "");
  discovery->queue(found);

  EXPECT_FALSE(QVProcess::processWithId(id, false, false));
  EXPECT_EQ(0, discovery->pidUpdates);

  EXPECT_EQ(found, QVProcess::processWithId(id, true, false));
  EXPECT_EQ(1, discovery->pidUpdates);
  EXPECT_EQ(900, discovery->lastPid);

  // Known now: no second trip to the platform.
  EXPECT_EQ(found, QVProcess::processWithId(id, true, false));
  EXPECT_EQ(1, discovery->pidUpdates);

  const QVProcessId foreign = QVProcessId::uniqueProcessId(OtherSystem(), 900, kEarlierStart);
  EXPECT_FALSE(QVProcess::processWithId(foreign, true, false));
  EXPECT_EQ(1, discovery->pidUpdates) << "another machine's process was looked for locally";
}

TEST_F(QVProcessTest, ProcessWithNativeIdentifierPrefersTheLaterStartUnlessDiscoveryAnswers) {
  auto older = std::make_shared<QVProcess>(CurrentProcessId(555, kEarlierStart), "old", "");
  older->setStartTime(time_from_string("2020-01-01 00:00:00"));
  auto newer = std::make_shared<QVProcess>(CurrentProcessId(555, kLaterStart), "new", "");
  newer->setStartTime(time_from_string("2020-01-01 00:00:01"));
  auto unknownStart = std::make_shared<QVProcess>(CurrentProcessId(555, kLaterStart + 1), "unknown", "");
  auto otherPid = std::make_shared<QVProcess>(CurrentProcessId(556, kLaterStart + 2), "other", "");
  otherPid->setStartTime(time_from_string("2021-01-01 00:00:00"));
  // Registered latest first, so the answer cannot come from order alone.
  QVProcess::registerProcess(otherPid);
  QVProcess::registerProcess(unknownStart);
  QVProcess::registerProcess(newer);
  QVProcess::registerProcess(older);

  EXPECT_EQ(newer, QVProcess::processWithNativeIdentifier(555, false, false));
  EXPECT_EQ(otherPid, QVProcess::processWithNativeIdentifier(556, false, false));
  EXPECT_FALSE(QVProcess::processWithNativeIdentifier(557, false, false));

  auto discovery = InstallDiscovery();
  auto stale = std::make_shared<QVProcess>(CurrentProcessId(600, kLaterStart), "stale", "");
  stale->setStartTime(time_from_string("2030-01-01 00:00:00"));
  QVProcess::registerProcess(stale);
  auto live = std::make_shared<QVProcess>(CurrentProcessId(600, kEarlierStart), "live", "");
  discovery->queue(live);

  // With update the platform's answer counts, not the latest start.
  EXPECT_EQ(live, QVProcess::processWithNativeIdentifier(600, true, false));
  EXPECT_EQ(600, discovery->lastPid);
}

// Running means a debugger that says so and no exit time: a process
// without a debugger, one whose debugger says it stopped and one that
// exited while its debugger still says running are all not running.
TEST_F(QVProcessTest, GetProcessIdsForSystemFiltersBySystemAndRunning) {
  auto discovery = InstallDiscovery();
  auto running = RunningProcess(10, "running", "");
  auto stopped = std::make_shared<QVProcess>(CurrentProcessId(11), "stopped", "");
  QVProcess::registerProcess(stopped);
  std::static_pointer_cast<TestDebugger>(RunningProcess(13, "halted", "")->debugger())->setProcessRunning(false);
  RunningProcess(14, "exited", "")->setExitTime(time_from_string("2020-02-02 10:00:00"));
  auto foreign = std::make_shared<QVProcess>(QVProcessId::uniqueProcessId(OtherSystem(), 12, 0), "foreign", "");
  QVProcess::registerProcess(foreign);

  std::unordered_set<QVProcessId> ids{CurrentProcessId(999)};  // must be cleared
  QVProcess::getProcessIdsForSystem(QVSystemId::currentSystemId(), ids, false, false, false);
  EXPECT_EQ((std::unordered_set<QVProcessId>{running->processId(), stopped->processId(), CurrentProcessId(13),
                                             CurrentProcessId(14)}),
            ids);

  QVProcess::getProcessIdsForSystem(QVSystemId::currentSystemId(), ids, true, true, false);
  EXPECT_EQ((std::unordered_set<QVProcessId>{running->processId()}), ids);
  EXPECT_EQ(1, discovery->scans);

  QVProcess::getProcessIdsForSystem(OtherSystem(), ids, false, true, false);
  EXPECT_EQ((std::unordered_set<QVProcessId>{foreign->processId()}), ids);
  EXPECT_EQ(1, discovery->scans) << "another machine's list was updated from this one";

  QVProcess::getProcessIdsForSystem(QVSystemId::invalid(), ids, false, false, false);
  EXPECT_EQ(5u, ids.size());
}

TEST_F(QVProcessTest, GetProcessesWithNameMatchesPidNameOrExecutableFileName) {
  auto byName = RunningProcess(1234, "editor", "/usr/bin/something-else");
  auto byPath = RunningProcess(1235, "truncated-na", "/opt/tools/editor");
  auto notRunning = std::make_shared<QVProcess>(CurrentProcessId(1236), "editor", "/usr/bin/editor");
  QVProcess::registerProcess(notRunning);
  auto foreign = std::make_shared<QVProcess>(QVProcessId::uniqueProcessId(OtherSystem(), 1237, 0), "editor", "");
  foreign->setDebugger(std::make_shared<TestDebugger>(*foreign, true));
  QVProcess::registerProcess(foreign);
  // A directory of that name in the path is not a match.
  RunningProcess(1238, "daemon", "/opt/editor/daemon");

  std::vector<std::shared_ptr<QVProcess>> found;
  QVProcess::getProcessesWithName("editor", found, false, false);
  ASSERT_EQ(2u, found.size());
  EXPECT_EQ(byName, found[0]);
  EXPECT_EQ(byPath, found[1]);

  // A number is a pid, whatever the process is called; the result is
  // appended to what the caller already has.
  QVProcess::getProcessesWithName("1236", found, false, false);
  ASSERT_EQ(3u, found.size());
  EXPECT_EQ(notRunning, found[2]);

  std::vector<std::shared_ptr<QVProcess>> none;
  QVProcess::getProcessesWithName("4444", none, false, false);
  QVProcess::getProcessesWithName("nosuchname", none, false, false);
  EXPECT_TRUE(none.empty());
}

TEST_F(QVProcessTest, KernelProcessForSystemUsesPlatformLocallyAndBootTimeIdElsewhere) {
  auto discovery = InstallDiscovery();
  discovery->kernel = std::make_shared<QVProcess>(CurrentProcessId(0), "vmlinux", "vmlinux");
  EXPECT_EQ(discovery->kernel, QVProcess::kernelProcessForSystem(QVSystemId::currentSystemId(), false));

  EXPECT_FALSE(QVProcess::kernelProcessForSystem(OtherSystem(), false));
  auto remoteKernel = std::make_shared<QVProcess>(
      QVProcessId::uniqueProcessId(OtherSystem(), 0, LocalMachineBootTime()), "vmlinux", "vmlinux");
  QVProcess::registerProcess(remoteKernel);
  EXPECT_EQ(remoteKernel, QVProcess::kernelProcessForSystem(OtherSystem(), false));
}

// --- section and symbol lookups -------------------------------------------------

TEST_F(QVProcessTest, SectionLookupsAskTheMapThenTheDebuggerAndKeepItsAnswers) {
  // One past the end of the mapped range, and no debugger to ask: half-open
  // ranges, and an empty section and range.
  QVProcess bare(CurrentProcessId(51), "p", "");
  bare.setSectionAtAddressRange(MakeSection("/qvtest/lib/libmiss.so", 1, ".text"),
                                QVRange<unsigned long>(0x400000, 0x1000));
  QVRange<unsigned long> range(7, 7);
  EXPECT_FALSE(bare.sectionForCallFrame(TestCallFrame(0x401000), range));
  EXPECT_EQ(QVRange<unsigned long>(0, 0), range);

  QVProcess process(CurrentProcessId(52), "p", "");
  auto debugger = std::make_shared<TestDebugger>(process);
  process.setDebugger(debugger);
  auto mapped = MakeSection("/qvtest/lib/libhit.so", 1, ".text");
  process.setSectionAtAddressRange(mapped, QVRange<unsigned long>(0x400000, 0x1000));
  EXPECT_EQ(mapped, process.sectionForCallFrame(TestCallFrame(0x400fff), range));
  EXPECT_EQ(QVRange<unsigned long>(0x400000, 0x1000), range);
  EXPECT_EQ(0, debugger->sectionQueries()) << "a hit in the map asks no debugger";

  auto section = MakeSection("/qvtest/lib/libanswer.so", 1, ".text");
  debugger->mappedSections().setValueForRange(section, QVRange<unsigned long>(0x7f0000, 0x4000));
  EXPECT_EQ(section, process.sectionForCallFrame(TestCallFrame(0x7f1234), range));
  EXPECT_EQ(QVRange<unsigned long>(0x7f0000, 0x4000), range);
  EXPECT_EQ(1, debugger->sectionQueries());
  EXPECT_EQ(section, process.sectionMap().valueForLocation(0x7f0000, true));
  // The next lookup anywhere in that range is answered from the map.
  EXPECT_EQ(section, process.sectionForCallFrame(TestCallFrame(0x7f3fff), range));
  EXPECT_EQ(1, debugger->sectionQueries());
  // A miss the debugger cannot answer either stays a miss.
  EXPECT_FALSE(process.sectionForCallFrame(TestCallFrame(0x10), range));
  EXPECT_EQ(QVRange<unsigned long>(0, 0), range);
  EXPECT_EQ(2, debugger->sectionQueries());
}

TEST_F(QVProcessTest, SectionMapLoadsFromTheDebuggerWhileEmptyAndIsReplacedWhole) {
  QVProcess process(CurrentProcessId(53), "p", "");
  EXPECT_TRUE(process.sectionMap().isEmpty()) << "no debugger: nothing to load";

  auto debugger = std::make_shared<TestDebugger>(process);
  process.setDebugger(debugger);
  auto text = MakeSection("/qvtest/lib/libload.so", 1, ".text");
  auto init = MakeSection("/qvtest/lib/libload.so", 2, ".init");
  debugger->mappedSections().setValueForRange(text, QVRange<unsigned long>(0x2000, 0x100));
  debugger->mappedSections().setValueForRange(init, QVRange<unsigned long>(0x1000, 0x10));

  EXPECT_EQ(debugger->mappedSections(), process.sectionMap());
  EXPECT_EQ(1, debugger->sectionMapQueries());
  // Not empty any more: no reload.
  process.mutableSectionMap();
  EXPECT_EQ(1, debugger->sectionMapQueries());

  // Setting the map replaces all of it.
  QVProcess other(CurrentProcessId(54), "p", "");
  other.setSectionAtAddressRange(MakeSection("/qvtest/lib/libold.so", 1, ".text"),
                                   QVRange<unsigned long>(0x9000, 0x100));
  QVProcess::SectionMap map;
  map.setValueForRange(MakeSection("/qvtest/lib/libnew.so", 1, ".text"), QVRange<unsigned long>(0x1000, 0x100));
  other.setSectionMap(map);
  EXPECT_EQ(map, other.sectionMap());
  other.setSectionMap(other.sectionMap());  // itself: unchanged
  EXPECT_EQ(map, other.sectionMap());
}

// A code section mapped at 0x400000 with one symbol at offsets [0x10, 0x30)
// and nothing at [0, 0x10). The symbol's range is made absolute from the
// section's start; addresses before or after it, or outside every section,
// give no symbol and an empty range.
TEST_F(QVProcessTest, SymbolRangesAreAbsoluteAndFramesResolveThroughTheProcessAndDescribeThemselves) {
  const auto section = MakeSection("/qvtest/lib/libsym.so", 3, ".text");
  const auto symbol = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(section->sectionId(), 0), "compute",
                                                 QVSymbol::TypeCode, QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
  symbol->setSectionRange(QVRange<int>(0x10, 0x20));
  section->setSymbolForRange(symbol, symbol->sectionRange());
  const auto process = std::make_shared<QVProcess>(CurrentProcessId(60), "p", "");
  process->setSectionAtAddressRange(section, QVRange<unsigned long>(0x400000, 0x1000));
  const std::pair<unsigned long, bool> cases[] = {
      {0x400010, true}, {0x40002f, true}, {0x40000f, false}, {0x400030, false}, {0x500010, false}};
  for (const auto& c : cases) {
    QVRange<unsigned long> range(1, 1);
    EXPECT_EQ(c.second ? symbol : nullptr, process->symbolForCallFrame(TestCallFrame(c.first), range)) << c.first;
    EXPECT_EQ(c.second ? QVRange<unsigned long>(0x400010, 0x20) : QVRange<unsigned long>(0, 0), range) << c.first;
  }

  // The frame resolves through the process to the symbol it describes.
  TestCallFrame frame(0x400020, process.get());
  std::ostringstream all;
  frame.getDescription(all, true, true, true, true, false, false, false, false, false);
  EXPECT_EQ("0x400020 compute [32 bytes] ", all.str());

  // A named symbol may stand in for the address; a frame without one may not.
  std::ostringstream nameOnly;
  frame.getDescription(nameOnly, false, true, false, false, false, false, false, false, false);
  EXPECT_EQ("compute ", nameOnly.str());
  std::ostringstream unnamed;
  TestCallFrame(0x400004, process.get()).getDescription(unnamed, false, true, false, false, false, false, false, false,
                                                        false);
  EXPECT_EQ("0x400004 ", unnamed.str());

  // Without a source file only the line is written.
  std::ostringstream location;
  frame.getDescription(location, false, false, false, false, false, false, true, true, true);
  EXPECT_EQ(" @:0 ", location.str());
}

// --- merging ------------------------------------------------------------------------

TEST_F(QVProcessTest, MergeRejectsOtherIdsAndConflictingParentsAndTakesWhatIsMissing) {
  auto process = std::make_shared<QVProcess>(CurrentProcessId(70), "p", "");
  process->_merge(process);  // nothing happens
  auto other = std::make_shared<QVProcess>(CurrentProcessId(71), "q", "");
  EXPECT_EQ("inconsistent process ids @ QVProcess:133", test::ThrownQVException([&] { process->_merge(other); }));

  const QVProcessId id = CurrentProcessId(73);
  auto mine = std::make_shared<DiscoveredProcess>(id);
  auto theirs = std::make_shared<DiscoveredProcess>(id);
  theirs->setParent(CurrentProcessId(1));
  mine->_merge(theirs);
  EXPECT_EQ(CurrentProcessId(1), mine->parentProcessId());

  auto unknownParent = std::make_shared<DiscoveredProcess>(id);
  mine->_merge(unknownParent);  // an invalid parent never conflicts
  EXPECT_EQ(CurrentProcessId(1), mine->parentProcessId());

  auto conflicting = std::make_shared<DiscoveredProcess>(id);
  conflicting->setParent(CurrentProcessId(2));
  EXPECT_EQ("inconsistent parent process ids @ QVProcess:142",
            test::ThrownQVException([&] { mine->_merge(conflicting); }));
  EXPECT_EQ(CurrentProcessId(1), mine->parentProcessId());

  mine = std::make_shared<DiscoveredProcess>(CurrentProcessId(72), "mine", "/bin/mine");
  theirs = std::make_shared<DiscoveredProcess>(CurrentProcessId(72), "theirs", "/bin/theirs");
  mine->setUserIdentifier(1000);
  theirs->setUserIdentifier(2000);
  mine->setArchitecture(QVArchitectureX86);
  mine->setExitTime(time_from_string("2020-03-03 03:03:03"));
  theirs->setStartTime(time_from_string("2020-01-01 01:01:01"));
  theirs->setExitTime(time_from_string("2020-04-04 04:04:04"));
  mine->mutableProperties().setString("key", "mine");
  theirs->mutableProperties().setString("key", "theirs");

  // Icons count as present only when they are the same object.
  auto shared = std::make_shared<QVData>(std::vector<unsigned char>{1, 2, 3});
  auto equalBytes = std::make_shared<QVData>(std::vector<unsigned char>{1, 2, 3});
  mine->addIcon(shared);
  theirs->addIcon(shared);
  theirs->addIcon(equalBytes);

  // The section maps are added; how overlapping ranges add is the range
  // map's own test.
  auto kept = MakeSection("/qvtest/lib/libkept.so", 1, ".text");
  auto added = MakeSection("/qvtest/lib/libadded.so", 1, ".text");
  mine->setSectionAtAddressRange(kept, QVRange<unsigned long>(0x1000, 0x1000));
  theirs->setSectionAtAddressRange(added, QVRange<unsigned long>(0x3800, 0x1000));
  QVProcess::SectionMap expected = mine->sectionMap();
  expected.setValueForRange(added, QVRange<unsigned long>(0x3800, 0x1000));

  mine->_merge(theirs);
  EXPECT_EQ("mine", mine->name());
  EXPECT_EQ("/bin/mine", mine->executablePath());
  EXPECT_EQ(1000u, mine->userIdentifier());
  EXPECT_EQ(QVArchitectureX86, mine->architecture());
  EXPECT_EQ("mine", mine->properties().stringValue("key"));
  EXPECT_EQ(time_from_string("2020-01-01 01:01:01"), mine->startTime());
  EXPECT_EQ(time_from_string("2020-03-03 03:03:03"), mine->exitTime());
  ASSERT_EQ(2u, mine->iconImageData().size());
  EXPECT_EQ(shared, mine->iconImageData()[0]);
  EXPECT_EQ(equalBytes, mine->iconImageData()[1]);
  EXPECT_EQ(expected, mine->sectionMap());
}

// --- archiving --------------------------------------------------------------------------

class QVProcessArchiveTest : public QVProcessTest {
 protected:
  // A process with every part filled: parent, names, user, two icons (one
  // of them twice, to exercise object sharing), times, two mapped sections
  // and properties.
  void SetUp() override {
    QVProcessTest::SetUp();
    process = std::make_shared<DiscoveredProcess>(CurrentProcessId(8080, kLaterStart), "server", "/srv/bin/server");
    process->setParent(CurrentProcessId(1));
    process->setUserIdentifier(1001);
    process->setArchitecture(QVArchitectureX86);
    icon = std::make_shared<QVData>(std::vector<unsigned char>{0x89, 'P', 'N', 'G', 0, 1});
    process->addIcon(icon);
    process->addIcon(std::make_shared<QVData>(std::vector<unsigned char>{7}));
    process->setStartTime(time_from_string("2021-06-01 12:00:00.250000"));
    process->setExitTime(time_from_string("2021-06-01 12:30:00"));
    text = MakeSection("/qvtest/srv/server", 1, ".text");
    plt = MakeSection("/qvtest/srv/server", 2, ".plt");
    process->setSectionAtAddressRange(text, QVRange<unsigned long>(0x555555554000, 0x2000));
    process->setSectionAtAddressRange(plt, QVRange<unsigned long>(0x555555550000, 0x100));
    process->mutableProperties().setString(QVProcess::PROPERTY_PROCESS_TYPE, QVProcess::VAL_PROCESS_USER);
  }

  static void ExpectSameSections(const QVProcess::SectionMap& expected, const QVProcess::SectionMap& actual) {
    std::vector<QVRange<unsigned long>> expectedRanges, actualRanges;
    std::vector<std::shared_ptr<QVSection>> expectedSections, actualSections;
    expected.SWIG_getRanges(expectedRanges);
    actual.SWIG_getRanges(actualRanges);
    expected.SWIG_getValues(expectedSections);
    actual.SWIG_getValues(actualSections);
    EXPECT_EQ(expectedRanges, actualRanges);
    ASSERT_EQ(expectedSections.size(), actualSections.size());
    for (size_t i = 0; i < expectedSections.size(); ++i) {
      ASSERT_TRUE(actualSections[i]);
      EXPECT_EQ(expectedSections[i]->sectionId(), actualSections[i]->sectionId());
      EXPECT_EQ(expectedSections[i]->name(), actualSections[i]->name());
    }
  }

  std::shared_ptr<DiscoveredProcess> process;
  std::shared_ptr<QVData> icon;
  std::shared_ptr<QVSection> text;
  std::shared_ptr<QVSection> plt;
};

TEST_F(QVProcessArchiveTest, RoundTripKeepsEveryPartAndEveryUnknown) {
  // The description is the name and the native pid.
  EXPECT_EQ("server [8080]", test::Text(*process));
  std::ostringstream byPointer;
  byPointer << std::shared_ptr<QVProcess>(process) << "|" << std::shared_ptr<QVProcess>();
  EXPECT_EQ("server [8080]|", byPointer.str());

  const std::string document = test::ArchiveToString(*process, "Process");
  auto decoded = test::UnarchiveFromString<QVProcess>(document, "Process");
  ASSERT_TRUE(decoded);
  // Writing the decoded process gives the same document, so every part
  // survived; that parts are read by their names the next test shows.
  EXPECT_EQ(document, test::ArchiveToString(*decoded, "Process"));
  EXPECT_EQ(*icon, *decoded->iconImageData()[0]);
  ExpectSameSections(process->sectionMap(), decoded->sectionMap());
  // The decoded process was not registered by decoding.
  EXPECT_FALSE(QVProcess::processWithId(process->processId(), false, false));

  // An unknown user, unknown times and no parent, icons or sections survive as well.
  QVProcess bare(CurrentProcessId(8081), "bare", "");
  const std::string bareDocument = test::ArchiveToString(bare, "Process");
  EXPECT_NE(std::string::npos, bareDocument.find("0xffffffff")) << bareDocument;
  decoded = test::UnarchiveFromString<QVProcess>(bareDocument, "Process");
  EXPECT_EQ(0xFFFFFFFFu, decoded->userIdentifier());
  EXPECT_EQ(bareDocument, test::ArchiveToString(*decoded, "Process"));
}

TEST_F(QVProcessArchiveTest, OlderWritersKeysAreSkippedTheParentIsOptionalAndUnpairedRangesRaise) {
  const std::string document = test::ArchiveToString(*process, "Process");
  std::string older = test::ReplaceOnce(document, "<ExePath>", "<Command>/srv/bin/server --daemon</Command><ExePath>");
  older = test::ReplaceOnce(older, "<StartTime>", "<UserTime>0x10</UserTime><SystemTime>0x20</SystemTime><StartTime>");
  auto decoded = test::UnarchiveFromString<QVProcess>(older, "Process");
  EXPECT_EQ("server", decoded->name());
  EXPECT_EQ(process->startTime(), decoded->startTime());
  ExpectSameSections(process->sectionMap(), decoded->sectionMap());

  // Without its element, then without the first range (two values for one
  // range).
  const auto without = [&document](const std::string& open, const std::string& close) {
    const size_t begin = document.find(open);
    const size_t end = document.find(close);
    EXPECT_NE(std::string::npos, end) << open << " missing from " << document;
    return document.substr(0, begin) + document.substr(end + close.size());
  };
  decoded = test::UnarchiveFromString<QVProcess>(without("<ParentProcessId", "</ParentProcessId>"), "Process");
  EXPECT_FALSE(decoded->parentProcessId().isValid());
  EXPECT_EQ("server", decoded->name());
  const std::string broken = without("<Range>", "</Range>");
  EXPECT_EQ("unequal number of values and ranges @ QVRangeMap2:188",
            test::ThrownQVException([&] { test::UnarchiveFromString<QVProcess>(broken, "Process"); }));

  // 0x1000003e9 does not fit the 32 bits of a user identifier; its low
  // half is 1001.
  const std::string wide = test::ReplaceOnce(document, "<UserIdentifier>0x3e9</UserIdentifier>",
                                             "<UserIdentifier>0x1000003e9</UserIdentifier>");
  EXPECT_EQ(1001u, test::UnarchiveFromString<QVProcess>(wide, "Process")->userIdentifier());
}

}  // namespace
}  // namespace Quorvel
