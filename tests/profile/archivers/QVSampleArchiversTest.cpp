#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "archivers/QVCallStackTenureArchiver.h"
#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVException.h"
#include "ids/QVContext.h"
#include "ids/QVFileId.h"
#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "samples/QVAbstractCallFrame.h"
#include "support/ArchiveRoundTrip.h"
#include "support/Registries.h"
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
using test::ReplaceOnce;
using test::UnarchiveFromString;

// Any start value serves to intern ids; this one is 2020-01-01.
const uint64_t kStart = 1577836800000000000ull;

QVProcessId ProcessOf(int64_t pid) { return QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid, kStart); }

QVThreadId ThreadOf(int64_t pid, int64_t tid) { return QVThreadId::uniqueThreadId(ProcessOf(pid), tid, kStart); }

QVContext ContextOf(int64_t pid, int64_t tid, int state, int cpu = 0) {
  return QVContext::uniqueContext(ThreadOf(pid, tid), cpu, state);
}

std::vector<uint64_t> AddressesOf(const QVAbstractCallStack& stack) {
  std::vector<uint64_t> addresses;
  stack.getFrames(addresses);
  return addresses;
}

using QVSampleArchiversTest = test::ModelTest;

// --- unique archiving ----------------------------------------------------------------

TEST_F(QVSampleArchiversTest, SharedSuffixesAreStoredOnceAndEmptyStacksAddNoFrame) {
  // [a, b, c] and [d, b, c], innermost first: c and b are shared.
  const uint64_t a = 0xa0, b = 0xb0, c = 0xc0, d = 0xd0;
  auto archiver = std::make_shared<QVUniqueCallStackTenureArchiver>();
  const QVContext context = ContextOf(1, 1, QVContext::StateUser);
  archiver->archive(context, 1, 2, {a, b, c});
  archiver->archive(context, 3, 4, {d, b, c});
  ASSERT_EQ(2u, archiver->size());
  const auto frames = archiver->getFrameArchiver(context);
  ASSERT_TRUE(frames);
  EXPECT_EQ(4, frames->frameCount());
  EXPECT_EQ((std::vector<uint64_t>{a, b, c}), AddressesOf(*archiver->samples()[0]));
  EXPECT_EQ((std::vector<uint64_t>{d, b, c}), AddressesOf(*archiver->samples()[1]));
  // Frames are made outermost first: c, b, a, then d.
  EXPECT_EQ(c, frames->frameForDescriptor(0)->address());
  EXPECT_EQ(b, frames->frameForDescriptor(1)->address());
  EXPECT_EQ((std::vector<int>{2, 3}), frames->frameForDescriptor(1)->childrenFrameDescriptors());
  EXPECT_EQ(1, frames->frameForDescriptor(3)->parentFrameDescriptor());

  // 2 calls, both non-empty; 6 visits of which only b in the second stack
  // was a child already there (roots found count as visits, not hits).
  EXPECT_EQ("2 callstacks [100% hit] 6 frames [16.6667% hit] 4 unique frames", test::Text(frames));
  EXPECT_EQ(1u, frames->frameHitCount());

  // An empty stack is a sample of leaf -1 and size 0 that adds no frame.
  archiver->archive(ContextOf(1, 2, 1), 0, 1, {});
  const auto empty = std::dynamic_pointer_cast<QVUniqueCallStackTenure>(archiver->samples()[2]);
  ASSERT_TRUE(empty);
  EXPECT_EQ(-1, empty->leafFrameDescriptor());
  EXPECT_EQ(0, empty->size());
  const auto none = archiver->getFrameArchiver(ContextOf(1, 2, 1));
  EXPECT_EQ(1u, none->stackCount());
  EXPECT_EQ(0u, none->nonEmptyStackCount());
  EXPECT_EQ(0, none->frameCount());
}

TEST_F(QVSampleArchiversTest, ThreadsAndModesGetTreesOfTheirOwn) {
  auto archiver = std::make_shared<QVUniqueCallStackTenureArchiver>();
  const std::vector<uint64_t> stack{0x1, 0x2, 0x3};
  archiver->archive(ContextOf(5, 5, QVContext::StateUser), 0, 1, stack);
  archiver->archive(ContextOf(5, 6, QVContext::StateUser), 0, 1, stack);
  archiver->archive(ContextOf(5, 6, QVContext::StateSupervisor), 0, 1, stack);
  archiver->archive(ContextOf(5, 6, 7), 0, 1, stack);
  archiver->archive(ContextOf(5, 6, QVContext::StateUser, 3), 0, 1, stack);
  EXPECT_EQ(2u, archiver->userFrameArchivers().size()) << "the same stack in two threads";
  EXPECT_EQ(1u, archiver->supervisorFrameArchivers().size());
  EXPECT_EQ(1u, archiver->hypervisorFrameArchivers().size());
  const auto first = archiver->getFrameArchiver(ContextOf(5, 5, QVContext::StateUser));
  const auto second = archiver->getFrameArchiver(ContextOf(5, 6, QVContext::StateUser));
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  EXPECT_EQ(3, first->frameCount());
  EXPECT_EQ(3, second->frameCount()) << "another processor of the same thread shares the tree";
  EXPECT_EQ(second, archiver->getFrameArchiver(ContextOf(5, 6, QVContext::StateUser, 3)));
  EXPECT_NE(second, archiver->getFrameArchiver(ContextOf(5, 6, QVContext::StateSupervisor)));
  EXPECT_FALSE(archiver->getFrameArchiver(ContextOf(5, 7, QVContext::StateUser)));

  archiver->clear();
  EXPECT_EQ(0u, archiver->size());
  EXPECT_TRUE(archiver->userFrameArchivers().empty());
  EXPECT_FALSE(archiver->getFrameArchiver(ContextOf(5, 5, QVContext::StateUser)));
  archiver->archive(ContextOf(5, 5, QVContext::StateUser), 0, 1, stack);
  EXPECT_EQ(3, archiver->getFrameArchiver(ContextOf(5, 5, QVContext::StateUser))->frameCount())
      << "a tree made after clear starts empty";
}

TEST_F(QVSampleArchiversTest, NewAndDecodedTreesTakeTheProcessOrKernelAsSource) {
  auto process = std::make_shared<QVProcess>(ProcessOf(40), "p", "");
  QVProcess::registerProcess(process);
  auto archiver = std::make_shared<QVUniqueCallStackTenureArchiver>();
  archiver->archive(ContextOf(40, 41, QVContext::StateUser), 0, 1, {0x1});
  archiver->archive(ContextOf(40, 41, QVContext::StateSupervisor), 0, 1, {0x1});
  archiver->archive(ContextOf(99, 99, QVContext::StateUser), 0, 1, {0x1});
  EXPECT_EQ(process.get(), archiver->getFrameArchiver(ContextOf(40, 41, 1))->symbolSource());
  EXPECT_EQ(nullptr, archiver->getFrameArchiver(ContextOf(40, 41, 2))->symbolSource())
      << "no discovery installed, so no kernel";
  EXPECT_EQ(nullptr, archiver->getFrameArchiver(ContextOf(99, 99, 1))->symbolSource());
  EXPECT_EQ(process.get(), archiver->samples()[0]->symbolSource());

  // The session reader registers processes before it reads the samples, so
  // decoded trees resolve through them too.
  const std::string document = ArchiveToString(*archiver, "UniqueCallStacksV2");
  auto later = std::make_shared<QVProcess>(ProcessOf(99), "q", "");
  QVProcess::registerProcess(later);
  const auto decoded = UnarchiveFromString<QVUniqueCallStackTenureArchiver>(document, "UniqueCallStacksV2");
  EXPECT_EQ(later.get(), decoded->getFrameArchiver(ContextOf(99, 99, 1))->symbolSource());
  EXPECT_EQ(later.get(), decoded->samples()[2]->symbolSource());
}

// A seeded mix of realistic shapes: a few outer paths shared by many stacks,
// random inner parts, some repeated exactly and some empty.
std::vector<std::vector<uint64_t>> RandomStacks(unsigned seed, size_t count) {
  std::mt19937 random(seed);
  std::vector<std::vector<uint64_t>> outer(6);
  for (auto& path : outer) {
    const size_t depth = 2 + random() % 6;
    for (size_t i = 0; i < depth; ++i) {
      path.push_back(0x400000 + (random() % 64) * 0x10);
    }
  }
  std::vector<std::vector<uint64_t>> stacks;
  for (size_t n = 0; n < count; ++n) {
    if (random() % 17 == 0) {
      stacks.emplace_back();
      continue;
    }
    if (!stacks.empty() && random() % 5 == 0) {
      stacks.push_back(stacks[random() % stacks.size()]);
      continue;
    }
    std::vector<uint64_t> stack;
    const size_t inner = random() % 6;
    for (size_t i = 0; i < inner; ++i) {
      stack.push_back(0x500000 + (random() % 8) * 0x10);  // few values: repeats and recursion
    }
    const auto& path = outer[random() % outer.size()];
    stack.insert(stack.end(), path.begin(), path.end());
    stacks.push_back(stack);
  }
  return stacks;
}

// Every walk a reader makes gives the same answers on both stacks.
void ExpectSameWalks(const QVAbstractCallStack& plain, const QVAbstractCallStack& unique, size_t n) {
  SCOPED_TRACE("sample " + std::to_string(n));
  ASSERT_EQ(plain.size(), unique.size());
  EXPECT_EQ(AddressesOf(plain), AddressesOf(unique));
  std::vector<const QVAbstractCallFrame*> frames;
  unique.getFrames(frames);
  ASSERT_EQ(static_cast<size_t>(unique.size()), frames.size());
  for (int i = 0; i < unique.size(); ++i) {
    const QVAbstractCallFrame* p = plain.frameAtIndex(i);
    const QVAbstractCallFrame* u = unique.frameAtIndex(i);
    ASSERT_TRUE(p && u);
    EXPECT_EQ(frames[static_cast<size_t>(i)], u);
    EXPECT_EQ(p->address(), u->address());
    EXPECT_EQ(plain.isLeaf(p), unique.isLeaf(u));
    const QVAbstractCallFrame* pc = plain.caller(p);
    const QVAbstractCallFrame* uc = unique.caller(u);
    ASSERT_EQ(pc == nullptr, uc == nullptr);
    if (pc != nullptr) {
      EXPECT_EQ(pc->address(), uc->address());
      EXPECT_EQ(unique.frameAtIndex(i + 1), uc);
    }
    // The unique callee is that of the first equal frame on the walk, so it
    // matches the plain stack's only where the address first occurs.
    bool firstOccurrence = true;
    for (int j = 0; j < i; ++j) {
      firstOccurrence = firstOccurrence && plain.frameAtIndex(j)->address() != p->address();
    }
    if (firstOccurrence) {
      const QVAbstractCallFrame* pe = plain.callee(p);
      const QVAbstractCallFrame* ue = unique.callee(u);
      ASSERT_EQ(pe == nullptr, ue == nullptr);
      if (pe != nullptr) {
        EXPECT_EQ(pe->address(), ue->address());
      }
    }
  }
  EXPECT_EQ(nullptr, unique.frameAtIndex(unique.size()));
  EXPECT_TRUE(plain == unique);
}

TEST_F(QVSampleArchiversTest, UniqueAndPlainArchivingGiveTheSameWalksBeforeAndAfterARoundTrip) {
  const auto stacks = RandomStacks(4242, 600);
  std::vector<QVContext> contexts{ContextOf(3, 3, 1), ContextOf(3, 4, 1), ContextOf(3, 4, 2), ContextOf(3, 5, 9)};
  auto unique = std::make_shared<QVUniqueCallStackTenureArchiver>();
  QVCallStackTenureArchiver plain;
  for (size_t n = 0; n < stacks.size(); ++n) {
    const QVContext& context = contexts[n % contexts.size()];
    unique->archive(context, n, n + 1, stacks[n]);
    plain.archive(context, n, n + 1, stacks[n]);
  }
  ASSERT_EQ(stacks.size(), unique->size());
  ASSERT_EQ(stacks.size(), plain.size());
  size_t frameTotal = 0;
  for (size_t n = 0; n < stacks.size(); ++n) {
    ExpectSameWalks(*plain.samples()[n], *unique->samples()[n], n);
    frameTotal += stacks[n].size();
  }
  size_t uniqueFrames = 0;
  for (const auto& context : contexts) {
    uniqueFrames += static_cast<size_t>(unique->getFrameArchiver(context)->frameCount());
  }
  // The random inner parts are mostly distinct; the outer paths and the
  // repeated stacks are what gets shared.
  EXPECT_LT(uniqueFrames * 2, frameTotal) << "shared suffixes are stored once";

  const auto decoded = UnarchiveFromString<QVUniqueCallStackTenureArchiver>(
      ArchiveToString(*unique, "UniqueCallStacksV2"), "UniqueCallStacksV2");
  const auto decodedPlain =
      UnarchiveFromString<QVCallStackTenureArchiver>(ArchiveToString(plain, "CallStacks"), "CallStacks");
  ASSERT_EQ(stacks.size(), decoded->size());
  ASSERT_EQ(stacks.size(), decodedPlain->size());
  for (size_t n = 0; n < stacks.size(); ++n) {
    const auto before = std::static_pointer_cast<QVUniqueCallStackTenure>(unique->samples()[n]);
    const auto after = std::static_pointer_cast<QVUniqueCallStackTenure>(decoded->samples()[n]);
    EXPECT_EQ(before->leafFrameDescriptor(), after->leafFrameDescriptor()) << "descriptors are positions";
    EXPECT_EQ(before->context(), after->context());
    EXPECT_EQ(before->beginTick(), after->beginTick());
    EXPECT_EQ(decoded->getFrameArchiver(after->context()), after->frameArchiver()) << "attached after reading";
    EXPECT_EQ(before->context(), decodedPlain->samples()[n]->context());
    ExpectSameWalks(*decodedPlain->samples()[n], *after, n);
  }
  for (const auto& context : contexts) {
    const auto original = unique->getFrameArchiver(context);
    const auto copy = decoded->getFrameArchiver(context);
    ASSERT_TRUE(copy);
    ASSERT_EQ(original->frameCount(), copy->frameCount());
    for (int d = 0; d < original->frameCount(); ++d) {
      EXPECT_TRUE(*original->frameForDescriptor(d) == *copy->frameForDescriptor(d));
      EXPECT_EQ(original->frameForDescriptor(d)->childrenFrameDescriptors(),
                copy->frameForDescriptor(d)->childrenFrameDescriptors())
          << "children are rebuilt from the parents";
    }
  }

  // A decoded tree goes on sharing: archiving a known stack adds no frame.
  const QVContext& first = contexts[0];
  const int before = decoded->getFrameArchiver(first)->frameCount();
  decoded->archive(first, 0, 0, stacks[0]);
  EXPECT_EQ(before, decoded->getFrameArchiver(first)->frameCount());
}

// --- hostile documents -----------------------------------------------------------------

class QVSampleArchiversDocumentTest : public QVSampleArchiversTest {
 protected:
  void SetUp() override {
    QVSampleArchiversTest::SetUp();
    auto archiver = std::make_shared<QVUniqueCallStackTenureArchiver>();
    archiver->archive(ContextOf(8, 8, 1), 0, 1, {0x1, 0x2, 0x3});
    archiver->archive(ContextOf(8, 9, 1), 0, 1, {0x4});
    document = ArchiveToString(*archiver, "UniqueCallStacksV2");
  }
  std::shared_ptr<QVUniqueCallStackTenureArchiver> Read(const std::string& text) {
    return UnarchiveFromString<QVUniqueCallStackTenureArchiver>(text, "UniqueCallStacksV2");
  }
  std::string document;
};

// A parent that is not an earlier frame (frame 0 made its own parent: a
// walk would never end) or a leaf outside its tree is rejected, as is a
// truncated document; a descriptor that does not parse reads as 0, a real
// one.
TEST_F(QVSampleArchiversDocumentTest, ParentsAndLeavesOutsideTheTreeAreRejected) {
  EXPECT_NO_THROW(Read(document));
  const std::pair<std::string, std::string> rejected[] = {
      {"<ParentDesc>-1</ParentDesc>", "<ParentDesc>0</ParentDesc>"},
      {"<ParentDesc>-1</ParentDesc>", "<ParentDesc>-7</ParentDesc>"},
      {"<ParentDesc>-1</ParentDesc>", "<ParentDesc>99999999999</ParentDesc>"},
      {"<FramesDesc>2</FramesDesc>", "<FramesDesc>3</FramesDesc>"},
      {"<FramesDesc>2</FramesDesc>", "<FramesDesc>-5</FramesDesc>"},
  };
  for (const auto& c : rejected) {
    ASSERT_NE(std::string::npos, document.find(c.first)) << document;
    EXPECT_THROW(Read(ReplaceOnce(document, c.first, c.second)), QVException) << c.second;
  }
  EXPECT_THROW(Read(document.substr(0, document.size() / 2)), QVException);
  const auto lenient = Read(ReplaceOnce(document, "<FramesDesc>2</FramesDesc>", "<FramesDesc>two</FramesDesc>"));
  EXPECT_EQ((std::vector<uint64_t>{0x3}), AddressesOf(*lenient->samples()[0]));
}

TEST_F(QVSampleArchiversDocumentTest, UnpairedListsStopAtTheShorterOne) {
  // Drop the second thread's frame archiver: its sample has no tree and
  // reads as empty, the other is unaffected.
  const size_t second = document.find("<FrameArchiver>", document.find("<FrameArchiver>") + 1);
  ASSERT_NE(std::string::npos, second) << document;
  const size_t end = document.find("</FrameArchiver>", second);
  std::string shortened = document;
  shortened.erase(second, end + std::string("</FrameArchiver>").size() - second);
  const auto decoded = Read(shortened);
  ASSERT_EQ(2u, decoded->size());
  EXPECT_EQ(1u, decoded->userFrameArchivers().size());
  EXPECT_EQ(3, decoded->samples()[0]->size());
  EXPECT_EQ(0, decoded->samples()[1]->size());
}

// --- identifiers --------------------------------------------------------------------------

// libids.so: .text with the symbol write_all at [0x20, 0x40), mapped at
// 0x7000 in process 30, and .data, not mapped.
TEST_F(QVSampleArchiversTest, IdentifiersComeOnlyFromNewContextsAndCallFramesResolveThroughTheCaller) {
  const QVModuleId moduleId =
      QVModuleId::uniqueModuleId(QVFileId::uniqueFileId("/qvtest/lib/libids.so"), QVArchitectureX86_64);
  auto module = std::make_shared<QVModule>(moduleId, "/qvtest/lib/libids.so", 0, "libids.so");
  auto text = std::make_shared<QVSection>(QVSectionId::uniqueSectionId(moduleId, 1), ".text", 0x3,
                                          QVRange<unsigned long>(0, 0x100), QVRange<long>(0, 0x100));
  auto data = std::make_shared<QVSection>(QVSectionId::uniqueSectionId(moduleId, 2), ".data", 0x6,
                                          QVRange<unsigned long>(0x2000, 0x100), QVRange<long>(0x2000, 0x100));
  auto symbol = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(text->sectionId(), 0), "write_all",
                                           QVSymbol::TypeCode, QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
  symbol->setSectionRange(QVRange<int>(0x20, 0x20));
  text->setSymbolForRange(symbol, symbol->sectionRange());
  module->setSections({text, data});
  QVModule::registerModule(module);
  auto process = std::make_shared<QVProcess>(ProcessOf(30), "p", "");
  process->setSectionAtAddressRange(text, QVRange<unsigned long>(0x7000, 0x100));
  QVProcess::registerProcess(process);

  QVThreadTenureArchiver tenures;
  tenures.archive(ContextOf(30, 31, 1), 0, 1, QVAbstractThreadTenure::EndReasonSleep, 0);
  tenures.archive(ContextOf(30, 32, 1), 1, 2, QVAbstractThreadTenure::EndReasonPreempted, -5);
  // A session file shows what was archived, not what was asked for.
  const QVAbstractThreadTenure& second = *tenures.samples()[1];
  EXPECT_EQ(std::make_tuple(uint64_t{1}, uint64_t{2}, QVAbstractThreadTenure::EndReasonPreempted, -5),
            std::make_tuple(second.beginTick(), second.endTick(), second.endReason(), second.priority()));
  QVSampleIdentifiers sets;
  tenures.getIdentifiers(sets);
  EXPECT_EQ(2u, sets.contexts.size());
  EXPECT_EQ(2u, sets.threadIds.size());
  EXPECT_EQ((std::unordered_set<QVProcessId>{ProcessOf(30)}), sets.processIds);
  EXPECT_EQ((std::unordered_set<QVModuleId>{moduleId}), sets.moduleIds);
  EXPECT_EQ((std::unordered_set<QVSectionId>{text->sectionId(), data->sectionId()}), sets.sectionIds)
      << "every section of a module, mapped or not";
  EXPECT_TRUE(sets.symbolIds.empty());

  // A context already gathered (by another archiver of the session) adds
  // nothing again, not even its process's modules.
  QVSampleIdentifiers seen;
  seen.contexts.insert(ContextOf(30, 31, 1));
  seen.contexts.insert(ContextOf(30, 32, 1));
  tenures.getIdentifiers(seen);
  EXPECT_TRUE(seen.threadIds.empty());
  EXPECT_TRUE(seen.moduleIds.empty());

  // System calls carry no symbol source: their frames resolve through the
  // calling process, and those of an unknown process (34) not at all.
  QVSystemCallTenureArchiver calls;
  calls.archive(ContextOf(30, 33, 1), 0, 1, 1, {0x7024, 0x7090});
  calls.archive(ContextOf(34, 34, 1), 3, 4, 60, {0x7024});
  EXPECT_EQ(std::make_tuple(uint64_t{3}, uint64_t{4}, 60, std::vector<uint64_t>{0x7024}),
            std::make_tuple(calls.samples()[1]->beginTick(), calls.samples()[1]->endTick(),
                            calls.samples()[1]->number(), AddressesOf(*calls.samples()[1])));
  QVSampleIdentifiers called;
  calls.getIdentifiers(called);
  EXPECT_EQ((std::unordered_set<QVSymbolId>{symbol->symbolId()}), called.symbolIds);
  EXPECT_EQ(nullptr, calls.samples()[0]->symbolSource()) << "the sample itself is left as it was";
}

}  // namespace
}  // namespace Quorvel
