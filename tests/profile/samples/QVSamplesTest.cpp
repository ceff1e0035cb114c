#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/QVException.h"
#include "ids/QVContext.h"
#include "ids/QVFileId.h"
#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "model/QVProcessDiscovery.h"
#include "model/QVThread.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVCallStack.h"
#include "samples/QVCallStackTenure.h"
#include "samples/QVSystemCallTenure.h"
#include "samples/QVThreadTenure.h"
#include "samples/QVUniqueCallFrame.h"
#include "samples/QVUniqueCallFrameArchiver.h"
#include "samples/QVUniqueCallStackTenure.h"
#include "support/ArchiveRoundTrip.h"
#include "support/Registries.h"
#include "support/ScriptedDiscovery.h"
#include "support/TestSupport.h"
#include "symbols/QVModule.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSection.h"
#include "symbols/QVSectionId.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSymbolId.h"

namespace Quorvel {
namespace {

using test::ArchiveToString;
using test::UnarchiveFromString;

// Any start value serves to intern ids; this one is 2020-01-01.
const uint64_t kStart = 1577836800000000000ull;

QVProcessId ProcessOf(int64_t pid) { return QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid, kStart); }

QVContext ContextOf(int64_t pid, int64_t tid, int cpu, int state) {
  return QVContext::uniqueContext(QVThreadId::uniqueThreadId(ProcessOf(pid), tid, kStart), cpu, state);
}

std::vector<uint64_t> AddressesOf(const QVAbstractCallStack& stack) {
  std::vector<uint64_t> addresses;
  stack.getFrames(addresses);
  return addresses;
}

using QVSamplesTest = test::ModelTest;

// A registered process of pid 70 with one code section of libsample.so
// mapped at 0x400000; its symbol "compute" covers [0x400010, 0x400030).
// Frames' source lines come from real line tables in the call tree's test
// of this program's own functions and in qvprof's line reports.
class QVSamplesSymbolTest : public QVSamplesTest {
 protected:
  void SetUp() override {
    QVSamplesTest::SetUp();
    const QVModuleId moduleId =
        QVModuleId::uniqueModuleId(QVFileId::uniqueFileId("/qvtest/lib/libsample.so"), QVArchitectureX86_64);
    module = std::make_shared<QVModule>(moduleId, "/qvtest/lib/libsample.so", 0, "libsample.so");
    section = std::make_shared<QVSection>(QVSectionId::uniqueSectionId(moduleId, 1), ".text", 0x3,
                                          QVRange<unsigned long>(0x1000, 0x1000), QVRange<long>(0x1000, 0x1000));
    module->setSections({section});
    QVModule::registerModule(module);
    symbol = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(section->sectionId(), 0), "compute",
                                        QVSymbol::TypeCode, QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
    symbol->setSectionRange(QVRange<int>(0x10, 0x20));
    section->setSymbolForRange(symbol, symbol->sectionRange());
    process = std::make_shared<QVProcess>(ProcessOf(70), "sample", "/qvtest/bin/sample");
    process->setSectionAtAddressRange(section, QVRange<unsigned long>(0x400000, 0x1000));
    QVProcess::registerProcess(process);
  }

  std::shared_ptr<QVModule> module;
  std::shared_ptr<QVSection> section;
  std::shared_ptr<QVSymbol> symbol;
  std::shared_ptr<QVProcess> process;
};

// --- tenures ------------------------------------------------------------------

// That tenures hold the interned instance of their context is checked where
// a decoded tenure is compared with the one written.
TEST_F(QVSamplesTest, TickRangeDurationOffsetAndWeight) {
  QVCallStackTenure tenure(ContextOf(1, 1, 0, 1), 100, 350);
  EXPECT_EQ(QVRange<uint64_t>(100, 250), tenure.tickRange());
  EXPECT_EQ(250u, tenure.durationTicks());
  tenure.setWeight(7.5);
  EXPECT_EQ(1.0, tenure.weight()) << "every tenure weighs one";
  tenure.offsetTicks(5);
  EXPECT_EQ(QVRange<uint64_t>(105, 250), tenure.tickRange());
  tenure.setBeginTick(300);
  tenure.setEndTick(310);
  EXPECT_EQ(10u, tenure.durationTicks());
}

TEST_F(QVSamplesTest, ThreadTenureEndReasonsAndTicksDescribeArchiveAndReadBack) {
  // Reason 7 is none of the five: described as unknown, archived as X and
  // read back as 0. Ticks at the top of the range must survive the hex text.
  const QVContext context = ContextOf(9, 1234, 3, 1);
  const std::tuple<uint32_t, const char*, const char*> reasons[] = {
      {0, "Unknown", ">X<"}, {1, "Preempted", ">P<"}, {2, "Yield", ">Y<"},
      {3, "Sleep", ">S<"},   {4, "Exit", ">E<"},      {7, "Unknown", ">X<"}};
  for (const auto& [reason, word, archived] : reasons) {
    SCOPED_TRACE(word);
    QVThreadTenure tenure(context, 1000, 1600, static_cast<QVThreadTenure::EndReason>(reason), 20);
    EXPECT_EQ(std::string("Thread Tenure - cpu:3 tid:1234 duration:600ticks endReason:") + word, test::Text(tenure));

    QVThreadTenure extreme(context, 0xfffffffffffffff0ull, 0xffffffffffffffffull,
                           static_cast<QVThreadTenure::EndReason>(reason), -20);
    const std::string document = ArchiveToString(extreme, "Tenure");
    EXPECT_NE(std::string::npos, document.find(archived)) << document;
    const auto decoded = UnarchiveFromString<QVThreadTenure>(document, "Tenure");
    EXPECT_EQ(&extreme.context(), &decoded->context()) << "decoding interns the context too";
    EXPECT_EQ(std::make_tuple(extreme.beginTick(), extreme.endTick(), reason <= 4 ? reason : 0u, -20),
              std::make_tuple(decoded->beginTick(), decoded->endTick(), static_cast<uint32_t>(decoded->endReason()),
                              decoded->priority()));
  }
  // A character no writer produces reads as unknown as well.
  std::string foreign = ArchiveToString(QVThreadTenure(context, 1, 2, QVThreadTenure::EndReasonExit, 0), "Tenure");
  foreign.replace(foreign.find(">E<"), 3, ">Q<");
  EXPECT_EQ(0, static_cast<int>(UnarchiveFromString<QVThreadTenure>(foreign, "Tenure")->endReason()));
  // How ticks other writers left (octal, garbage) parse is the archive's
  // number parsing, checked in its own test.
}

// --- plain call stacks ----------------------------------------------------------

TEST_F(QVSamplesTest, CallStackNavigationFollowsIndexOrderAndSetFramesReplacesTheWholeContent) {
  QVCallStack stack;
  for (uint64_t address : {0x10u, 0x20u, 0x30u}) {
    stack.addFrame(address);
  }
  ASSERT_EQ(3, stack.size());
  const QVAbstractCallFrame* leaf = stack.frameAtIndex(0);
  const QVAbstractCallFrame* middle = stack.frameAtIndex(1);
  const QVAbstractCallFrame* outer = stack.frameAtIndex(2);
  EXPECT_TRUE(stack.isLeaf(leaf));
  EXPECT_FALSE(stack.isLeaf(middle));
  EXPECT_EQ(middle, stack.caller(leaf));
  EXPECT_EQ(nullptr, stack.caller(outer));
  EXPECT_EQ(leaf, stack.callee(middle));
  EXPECT_EQ(nullptr, stack.callee(leaf));

  std::vector<const QVAbstractCallFrame*> frames{nullptr, nullptr, nullptr, nullptr, nullptr};
  stack.getFrames(frames);
  EXPECT_EQ((std::vector<const QVAbstractCallFrame*>{leaf, middle, outer}), frames);
  EXPECT_EQ((std::vector<uint64_t>{0x10, 0x20, 0x30}), AddressesOf(stack));

  // A frame of another stack with the same address is not this stack's leaf.
  QVCallStack other;
  other.addFrame(0x10);
  EXPECT_FALSE(stack.isLeaf(other.frameAtIndex(0)));
  EXPECT_EQ(nullptr, stack.caller(other.frameAtIndex(0)));
  // A single frame is the leaf, with neither caller nor callee.
  EXPECT_TRUE(other.isLeaf(other.frameAtIndex(0)));
  EXPECT_EQ(nullptr, other.caller(other.frameAtIndex(0)));
  EXPECT_EQ(nullptr, other.callee(other.frameAtIndex(0)));
  EXPECT_EQ("[0] 0x10 \n", test::Text(other));

  // Setting frames replaces the whole content.
  stack.setFrames(std::vector<uint64_t>{1, 2, 3, 4, 5});
  const std::vector<uint64_t> replacement{0xa, 0xb};
  stack.setFrames(replacement);
  ASSERT_EQ(2, stack.size());
  for (int i = 0; i < stack.size(); ++i) {
    EXPECT_EQ(replacement[static_cast<size_t>(i)], stack.frameAtIndex(i)->address());
  }
  EXPECT_EQ(replacement, stack.addresses());

  // From its own address vector, from a raw array and from another stack.
  stack.setFrames(stack.addresses());
  EXPECT_EQ(replacement, stack.addresses());
  const uint64_t raw[] = {7, 8, 9};
  stack.setFrames(raw, 3);
  EXPECT_EQ((std::vector<uint64_t>{7, 8, 9}), stack.addresses());
  auto source = std::make_shared<QVCallStack>();
  source->setFrames(std::vector<uint64_t>{0x100, 0x200});
  stack.setFrames(std::shared_ptr<QVAbstractCallStack>(source));
  EXPECT_EQ(source->addresses(), stack.addresses());
  EXPECT_TRUE(stack == *source);
  // Equal means the same addresses at every index: a prefix or one changed
  // frame is not.
  source->setFrames(std::vector<uint64_t>{0x100});
  EXPECT_FALSE(stack == *source);
  source->setFrames(std::vector<uint64_t>{0x100, 0x201});
  EXPECT_TRUE(stack != *source);
  stack.setFrames(nullptr, 0);
  EXPECT_EQ(0, stack.size());
}

TEST_F(QVSamplesTest, DescriptionNumbersOutermostFrameZeroAndFramesTextIsHex) {
  // Eleven frames: ceil(log10(11)) = 2 digits, the leaf numbered 10.
  QVCallStack stack;
  for (uint64_t address = 0x100; address <= 0x10a; ++address) {
    stack.addFrame(address);
  }
  std::ostringstream os;
  stack.getDescription(os);
  std::istringstream lines(os.str());
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) {
    all.push_back(line);
  }
  ASSERT_EQ(11u, all.size());
  EXPECT_EQ("[10] 0x100 ", all[0]);
  EXPECT_EQ("  [ 9] 0x101 ", all[1]);
  EXPECT_EQ(std::string(20, ' ') + "[ 0] 0x10a ", all[10]);

  // Ten frames fit one digit: ceil(log10(10)) = 1.
  QVCallStack ten;
  for (uint64_t address = 1; address <= 10; ++address) {
    ten.addFrame(address);
  }
  EXPECT_EQ(0u, test::Text(ten).find("[9] 0x1 \n  [8] 0x2 \n"));

  // The frames' text is prefixed hex with zero bare, and reads leniently.
  stack.setFrames(std::vector<uint64_t>{0x7fff0000abcd, 0, 0xffffffffffffffffull});
  EXPECT_EQ("0x7fff0000abcd 0 0xffffffffffffffff", QVCallStack::framesText(stack.addresses()));
  std::vector<uint64_t> parsed;
  QVCallStack::parseFramesText("  0x10\t20\n010 bogus 0x ", parsed);
  EXPECT_EQ((std::vector<uint64_t>{0x10, 20, 8, 0, 0}), parsed);
  QVCallStack::parseFramesText("", parsed);
  EXPECT_TRUE(parsed.empty());
}

// Plain call-stack tenures round-trip in the session file test, which reads
// them back in a fresh process; here the extremes of the system call's
// own numbers.
TEST_F(QVSamplesTest, SystemCallTenuresRoundTripAndDescribeThemselves) {
  QVSystemCallTenure call(ContextOf(13, 14, 0, 1), 5, 9, 231);
  call.setArguments({0, 0x10, 0xffffffffffffffffull});
  call.setResult(0xfffffffffffffff2ull);
  call.setFrames(std::vector<uint64_t>{0x401000, 0x402000});
  EXPECT_EQ("0x0 0x10 0xffffffffffffffff ", QVSystemCallTenure::argumentsText(call.arguments()));
  EXPECT_EQ("System Call - number:231", test::Text(call));

  // The decoded call writes the same document.
  const std::string document = ArchiveToString(call, "SysCall");
  const auto decodedCall = UnarchiveFromString<QVSystemCallTenure>(document, "SysCall");
  EXPECT_EQ(document, ArchiveToString(*decodedCall, "SysCall"));
  EXPECT_EQ(call.arguments(), decodedCall->arguments());

  // Null shared pointers print nothing.
  std::ostringstream os;
  os << std::shared_ptr<QVCallStackTenure>() << std::shared_ptr<QVThreadTenure>()
     << std::shared_ptr<QVSystemCallTenure>() << std::shared_ptr<QVUniqueCallStackTenure>()
     << std::shared_ptr<QVAbstractCallStack>();
  EXPECT_EQ("", os.str());
}

// --- resolution through processes ---------------------------------------------------

TEST_F(QVSamplesSymbolTest, CallStackFramesResolveSymbolSectionAndModule) {
  QVCallStack stack;
  stack.setSymbolSource(process.get());
  stack.setFrames(std::vector<uint64_t>{0x400014, 0x400800});
  QVRange<uint64_t> range;
  EXPECT_EQ(symbol, stack.frameAtIndex(0)->symbol(range));
  EXPECT_EQ(QVRange<uint64_t>(0x400010, 0x20), range);
  EXPECT_EQ(section, stack.frameAtIndex(0)->section(range));
  EXPECT_EQ(QVRange<uint64_t>(0x400000, 0x1000), range);
  EXPECT_EQ(module, stack.frameAtIndex(0)->module());
  EXPECT_FALSE(stack.frameAtIndex(1)->symbol(range));
  EXPECT_EQ(QVRange<uint64_t>(0, 0), range);
  EXPECT_EQ(module, stack.frameAtIndex(1)->module()) << "the section still knows its module";

  EXPECT_EQ("0x400014 compute  [libsample.so]", test::Text(*stack.frameAtIndex(0)));

  QVCallStack unresolved;
  unresolved.addFrame(0x400014);
  range = QVRange<uint64_t>(1, 1);
  EXPECT_FALSE(unresolved.frameAtIndex(0)->symbol(range));
  EXPECT_EQ(QVRange<uint64_t>(0, 0), range);
  EXPECT_FALSE(unresolved.frameAtIndex(0)->section(range));
  EXPECT_FALSE(unresolved.frameAtIndex(0)->module());
}

TEST_F(QVSamplesSymbolTest, UserTenureFindsItsProcessKeepsItAndRetriesAMiss) {
  QVCallStackTenure tenure(ContextOf(70, 71, 0, QVContext::StateUser), 0, 1);
  tenure.addFrame(0x400020);
  EXPECT_EQ(process.get(), tenure.symbolSource());
  QVRange<uint64_t> range;
  EXPECT_EQ(symbol, tenure.frameAtIndex(0)->symbol(range));

  // The answer is kept: it survives the registry forgetting the process.
  QVProcess::flushRegisteredProcesses();
  EXPECT_EQ(process.get(), tenure.symbolSource());

  QVCallStackTenure unknown(ContextOf(72, 72, 0, QVContext::StateUser), 0, 1);
  EXPECT_EQ(nullptr, unknown.symbolSource());
  auto late = std::make_shared<QVProcess>(ProcessOf(72), "late", "");
  QVProcess::registerProcess(late);
  EXPECT_EQ(late.get(), unknown.symbolSource()) << "a miss is not kept";
}

TEST_F(QVSamplesSymbolTest, KernelModeTenureResolvesThroughTheKernelOfItsSystem) {
  auto discovery = std::make_shared<test::ScriptedDiscovery>();
  discovery->kernel = std::make_shared<QVProcess>(ProcessOf(0), "kernel", "");
  QVProcessDiscovery::install(discovery);
  QVCallStackTenure supervisor(ContextOf(70, 71, 0, QVContext::StateSupervisor), 0, 1);
  EXPECT_EQ(discovery->kernel.get(), supervisor.symbolSource());
  QVCallStackTenure other(ContextOf(70, 71, 0, 5), 0, 1);
  EXPECT_EQ(discovery->kernel.get(), other.symbolSource()) << "every state but user is kernel mode";

  // An explicit source wins over the default.
  QVCallStackTenure chosen(ContextOf(70, 71, 0, QVContext::StateSupervisor), 0, 1);
  chosen.setSymbolSource(process.get());
  EXPECT_EQ(process.get(), chosen.symbolSource());
}

// --- unique frames -----------------------------------------------------------------

TEST_F(QVSamplesTest, UniqueFramesCompareAndArchiveByAddressThenParent) {
  QVUniqueCallFrame a(0x10, nullptr);
  QVUniqueCallFrame b(0x10, nullptr);
  a.setParentFrameDescriptor(3);
  b.setParentFrameDescriptor(5);
  EXPECT_FALSE(a == b) << "same address, different parents";
  EXPECT_TRUE(a < b);
  EXPECT_FALSE(b < a);
  EXPECT_TRUE(static_cast<const QVAbstractCallFrame&>(a) == static_cast<const QVAbstractCallFrame&>(b))
      << "as plain frames only the address counts";
  QVUniqueCallFrame c(0x08, nullptr);
  c.setParentFrameDescriptor(9);
  EXPECT_TRUE(c < a) << "the address decides first";
  b.setParentFrameDescriptor(3);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a < b);

  // Only the address and the parent are archived.
  QVUniqueCallFrame frame(0xdeadbeef, nullptr);
  frame.setParentFrameDescriptor(12);
  frame.addChildFrameDescriptor(13);
  const std::string document = ArchiveToString(frame, "Frame");
  EXPECT_NE(std::string::npos, document.find("0xdeadbeef")) << document;
  EXPECT_EQ(std::string::npos, document.find("13")) << "children are not written: " << document;
  const auto decoded = UnarchiveFromString<QVUniqueCallFrame>(document, "Frame");
  EXPECT_TRUE(frame == *decoded);
  EXPECT_EQ(0, decoded->childCount());
}

TEST_F(QVSamplesTest, UniqueFrameChildrenBehaveAsAnOrderedSet) {
  // Seeded so that a failure reproduces; std::set is the reference.
  std::mt19937 random(20261205);
  std::uniform_int_distribution<int> descriptor(0, 300);
  QVUniqueCallFrame frame(0x10, nullptr);
  std::set<int> reference;
  for (int i = 0; i < 500; ++i) {
    const int child = descriptor(random);
    frame.addChildFrameDescriptor(child);
    reference.insert(child);
    ASSERT_EQ(static_cast<int>(reference.size()), frame.childCount());
  }
  EXPECT_EQ(std::vector<int>(reference.begin(), reference.end()), frame.childrenFrameDescriptors());

  // Copies and moves keep the children; the source of a move is left empty.
  QVUniqueCallFrame copy(frame);
  EXPECT_EQ(frame.childrenFrameDescriptors(), copy.childrenFrameDescriptors());
  QVUniqueCallFrame moved(std::move(copy));
  EXPECT_EQ(frame.childrenFrameDescriptors(), moved.childrenFrameDescriptors());
  EXPECT_EQ(0, copy.childCount());  // NOLINT(bugprone-use-after-move): a moved-from frame is left empty by design
  QVUniqueCallFrame single(0x20, nullptr);
  single.addChildFrameDescriptor(4);
  moved = single;
  EXPECT_EQ(std::vector<int>{4}, moved.childrenFrameDescriptors());
  single = frame;
  EXPECT_EQ(frame.childrenFrameDescriptors(), single.childrenFrameDescriptors());
  single.clearChildFrameDescriptors();
  EXPECT_TRUE(single.childrenFrameDescriptors().empty());
}

// --- unique call-stack tenures ---------------------------------------------------------

TEST_F(QVSamplesTest, UniqueTenureWalksParentsFromTheLeafAndWithoutFramesHasSizeZero) {
  auto archiver = std::make_shared<QVUniqueCallFrameArchiver>();
  QVUniqueCallStackTenure empty(ContextOf(1, 1, 0, 1), 0, 0, archiver, -1);
  EXPECT_EQ(0, empty.size());
  EXPECT_EQ(nullptr, empty.frameAtIndex(0));
  EXPECT_FALSE(empty.isLeaf(nullptr));
  std::vector<uint64_t> none{1, 2};
  empty.getFrames(none);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ("", test::Text(empty));

  QVUniqueCallStackTenure detached(ContextOf(1, 1, 0, 1), 0, 0, nullptr, 3);
  EXPECT_EQ(0, detached.size()) << "a sample not yet attached to its tree";
  EXPECT_EQ(nullptr, detached.symbolSource());
  EXPECT_THAT(test::ThrownQVException([&] { detached.setSymbolSource(nullptr); }),
              ::testing::StartsWith("attempt to set QVUniqueCallStackTenure symbol source @ "));

  // A recursive stack: 0xa appears at positions 0 and 2. Walks of random
  // stacks with recursion are compared with plain stacks in the archivers'
  // test; the quirk is that the first frame equal to p2 on the walk is the
  // leaf, which has no callee.
  const std::vector<uint64_t> addresses{0xa, 0xb, 0xa, 0xc};
  QVUniqueCallStackTenure tenure(ContextOf(1, 1, 0, 1), 0, 0, archiver, archiver->archiveCallFrames(addresses));
  ASSERT_EQ(4, tenure.size());
  const QVAbstractCallFrame* p2 = tenure.frameAtIndex(2);
  EXPECT_FALSE(tenure.isLeaf(p2)) << "leaf-ness is identity, not address";
  EXPECT_EQ(tenure.frameAtIndex(3), tenure.caller(p2));
  EXPECT_EQ(nullptr, tenure.callee(p2));
  QVUniqueCallFrame stranger(0x99, nullptr);
  EXPECT_EQ(nullptr, tenure.callee(&stranger));
  QVCallStack plain;
  plain.setFrames(addresses);
  EXPECT_TRUE(plain == tenure) << "the archivers' test compares the other way round";
}

// How unique frames resolve through their archiver's source is what every
// session file read back in a fresh process shows; their text hides the
// address behind a named symbol.
TEST_F(QVSamplesSymbolTest, UniqueFramesDescribeThemselvesThroughTheirArchiversSource) {
  auto archiver = std::make_shared<QVUniqueCallFrameArchiver>();
  archiver->setSymbolSource(process.get());
  const int leaf = archiver->archiveCallFrames({0x400014, 0x400800});
  QVUniqueCallStackTenure tenure(ContextOf(70, 71, 0, 1), 0, 0, archiver, leaf);
  EXPECT_EQ(process.get(), tenure.symbolSource());
  EXPECT_EQ("[1] compute  [libsample.so]\n  [0] 0x400800  [libsample.so]\n", test::Text(tenure));
}

}  // namespace
}  // namespace Quorvel
