#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "base/QVLog.h"
#include "calltree/QVCallTree.h"
#include "calltree/QVCallTreeNode.h"
#include "calltree/QVCallTreeRootNode.h"
#include "ids/QVContext.h"
#include "Linux/process/QVProcessLinux.h"
#include "model/QVProcess.h"
#include "samples/QVCallStackTenure.h"
#include "samples/QVUniqueCallFrameArchiver.h"
#include "samples/QVUniqueCallStackTenure.h"
#include "support/Registries.h"
#include "support/TestSupport.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"

// Functions of this test binary that stacks of the real-symbol tests point
// into. Kept out of line and apart so that each is a symbol of its own.
extern "C" {
__attribute__((noinline)) int qvcalltree_target_alpha(int value) {
  int sum = 0;
  for (int i = 0; i < value; ++i) {
    sum += i * value;
    if (sum % 7 == 3) {
      sum ^= value;
    }
  }
  return sum;
}

__attribute__((noinline)) int qvcalltree_target_beta(int value) { return qvcalltree_target_alpha(value) + 1; }
}

namespace Quorvel {
namespace {

using NodePtr = QVCallTreeNode::NodePtr;
using RootPtr = QVCallTreeRootNode::RootPtr;
using Predicate = QVCallTreeNode::SortPredicate;
using TenureList = QVCallTree::TenureList;

// A synthetic address space: two modules, each one code section with named
// functions, and holes where nothing is known.
//   libalpha.so .text at 0x400000: alpha_a [0x10,0x40), alpha_b [0x40,0x80),
//                                  alpha_c [0x80,0xc0); [0,0x10) unnamed
//   libbeta.so  .text at 0x800000: beta_a [0x0,0x100), beta_b [0x100,0x200)
// Addresses at 0x900000 and above belong to no section.
constexpr uint64_t kAlpha = 0x400000;
constexpr uint64_t kBeta = 0x800000;
constexpr uint64_t kNowhere = 0x900000;

class SyntheticSpace {
 public:
  explicit SyntheticSpace(const QVProcessId& processId) {
    process = std::make_shared<QVProcess>(processId, "synthetic", "/qvtest/bin/synthetic");
    AddModule("/qvtest/lib/libalpha.so", "libalpha.so", kAlpha,
              {{"alpha_a", 0x10, 0x30}, {"alpha_b", 0x40, 0x40}, {"alpha_c", 0x80, 0x40}});
    AddModule("/qvtest/lib/libbeta.so", "libbeta.so", kBeta, {{"beta_a", 0x0, 0x100}, {"beta_b", 0x100, 0x100}});
  }

  struct SymbolSpec {
    const char* name;
    int offset;
    int size;
  };

  std::shared_ptr<QVProcess> process;

 private:
  void AddModule(const std::string& path, const std::string& name, uint64_t start,
                 const std::vector<SymbolSpec>& symbols) {
    const QVModuleId moduleId = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(path), QVArchitectureX86_64);
    auto section = std::make_shared<QVSection>(QVSectionId::uniqueSectionId(moduleId, 1), ".text",
                                               QVSection::kAttributeExecutable | QVSection::kAttributeAllocated,
                                               QVRange<unsigned long>(0, 0x1000), QVRange<long>(0, 0x1000));
    int index = 0;
    for (const SymbolSpec& spec : symbols) {
      auto symbol = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(section->sectionId(), index++), spec.name,
                                               QVSymbol::TypeCode, QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
      symbol->setSectionRange(QVRange<int>(spec.offset, spec.size));
      section->setSymbolForRange(symbol, symbol->sectionRange());
    }
    auto module = std::make_shared<QVModule>(moduleId, path, 0, name);
    module->setSections({section});
    if (!QVModule::moduleWithId(moduleId)) {
      QVModule::registerModule(module);
    }
    process->setSectionAtAddressRange(section, QVRange<unsigned long>(start, 0x1000));
  }
};

// The children of a node, as getChildren lists them.
std::vector<NodePtr> Children(const QVCallTreeNode& node) {
  std::vector<NodePtr> children;
  node.getChildren(children);
  return children;
}

QVSystemId SystemA() { return QVSystemId::uniqueSystemId("qvcalltree-system-a", "alpha-host"); }
QVSystemId SystemB() { return QVSystemId::uniqueSystemId("qvcalltree-system-b", "beta-host"); }
QVProcessId Process(const QVSystemId& system, int pid) { return QVProcessId::uniqueProcessId(system, pid, 1); }
QVThreadId Thread(const QVProcessId& process, int tid) { return QVThreadId::uniqueThreadId(process, tid, 1); }

// A sample of `thread` whose frames (innermost first) resolve through
// `source`.
std::shared_ptr<QVCallStackTenure> Sample(const QVThreadId& thread, const std::vector<uint64_t>& addresses,
                                          const QVSymbolSource* source) {
  auto tenure = std::make_shared<QVCallStackTenure>(QVContext::uniqueContext(thread, 0, QVContext::StateUser), 0, 1);
  tenure->setFrames(addresses);
  tenure->setSymbolSource(source);
  return tenure;
}

std::string Hex(uint64_t value) {
  std::ostringstream os;
  os << std::hex << "0x" << value;
  return os.str();
}

// What a node stands for, as a person would name it at the granularity.
std::string Label(const QVCallTreeNode& node, QVCallTree::Granularity granularity) {
  if (granularity == QVCallTree::address) {
    return Hex(node.address());
  }
  const std::string name = node.symbolName();
  return name.empty() ? Hex(node.address()) : name;
}

// Every node below `node` as "path -> self/total", sorted: two subtrees with
// equal dumps have the same shape and weights. With `templates`, each line
// also names the address of the node's template frame.
void Dump(const QVCallTreeNode& node, const std::string& path, QVCallTree::Granularity granularity, bool templates,
          std::vector<std::string>& lines) {
  const std::vector<NodePtr> children = Children(node);
  for (const NodePtr& child : children) {
    const std::string childPath = path + "/" + Label(*child, granularity);
    std::ostringstream line;
    line << childPath << " -> " << child->selfWeight() << "/" << child->totalWeight();
    lines.push_back(line.str() + (templates ? " @ " + Hex(child->address()) : ""));
    Dump(*child, childPath, granularity, templates, lines);
  }
}

std::vector<std::string> Dump(const QVCallTreeNode& node, QVCallTree::Granularity granularity,
                              bool templates = false) {
  std::vector<std::string> lines;
  Dump(node, "", granularity, templates, lines);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The reference model: the tree as a walk of each stack defines it, counted
// path by path with nothing shared with the implementation but the labels.
std::vector<std::string> ExpectedDump(const std::vector<std::vector<uint64_t>>& stacks, QVCallTree::Topology topology,
                                      QVCallTree::Granularity granularity, const QVProcess& process) {
  std::map<std::string, std::pair<double, double>> weights;
  for (const std::vector<uint64_t>& stack : stacks) {
    if (stack.empty()) {
      continue;
    }
    auto walk = Sample(QVThreadId(), stack, &process);
    std::string path;
    const int size = walk->size();
    for (int step = 0; step < size; ++step) {
      const int index = topology == QVCallTree::leaf ? step : size - 1 - step;
      const QVAbstractCallFrame* frame = walk->frameAtIndex(index);
      QVRange<uint64_t> range;
      const std::shared_ptr<QVSymbol>& symbol = frame->symbol(range);
      path += "/" + (granularity == QVCallTree::address || !symbol ? Hex(frame->address()) : symbol->name());
      auto& entry = weights[path];
      entry.second += 1.0;
      if (index == 0) {
        entry.first += 1.0;
      }
    }
  }
  std::vector<std::string> lines;
  for (const auto& entry : weights) {
    std::ostringstream line;
    line << entry.first << " -> " << entry.second.first << "/" << entry.second.second;
    lines.push_back(line.str());
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Total weight is what passed through a node. In a "tree" view a sample
// ends at its sampled frame, so total = self + the children's totals. In a
// "leaf" view the sampled frame comes first: only nodes right below a root
// have self weight (all of their total), and a sample ends at its outermost
// caller, wherever that is. Roots have no self weight in either view.
struct WeightCheck {
  int nodes = 0;
  double ends = 0.0;  // summed (total - children's totals) below the roots
};

void ExpectWeightsAddUp(const QVCallTreeNode& node, QVCallTree::Topology topology, int depth,
                        const std::string& where, WeightCheck& check) {
  ++check.nodes;
  const std::vector<NodePtr> children = Children(node);
  const bool isRoot = node.templateCallFrame() == nullptr;
  double sum = 0.0;
  for (const NodePtr& child : children) {
    sum += child->totalWeight();
    ExpectWeightsAddUp(*child, topology, isRoot ? 1 : depth + 1, where, check);
  }
  const std::string at = where + " at " + Hex(node.address()) + " depth " + std::to_string(depth);
  if (isRoot) {
    EXPECT_EQ(0.0, node.selfWeight()) << at;
    EXPECT_DOUBLE_EQ(node.totalWeight(), sum) << at;
    return;
  }
  check.ends += node.totalWeight() - sum;
  if (topology == QVCallTree::tree) {
    EXPECT_DOUBLE_EQ(node.totalWeight(), node.selfWeight() + sum) << at;
  } else {
    EXPECT_GE(node.totalWeight(), sum) << at;
    EXPECT_EQ(depth == 1 ? node.totalWeight() : 0.0, node.selfWeight()) << at;
  }
}

class QVCallTreeTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    space = std::make_unique<SyntheticSpace>(processA);
  }
  void TearDown() override {
    space.reset();
    RegistryTest::TearDown();
  }

  const QVSymbolSource* source() const { return space->process.get(); }

  const QVProcessId processA = Process(SystemA(), 100);
  const QVThreadId threadA1 = Thread(processA, 101);
  std::unique_ptr<SyntheticSpace> space;
};

// ---------------------------------------------------------------------------
// The enumerations' words.

TEST(QVCallTreeWords, TopologyAndGranularityWordsRoundTrip) {
  EXPECT_STREQ("tree", QVCallTree::topologyToString(QVCallTree::tree));
  EXPECT_STREQ("leaf", QVCallTree::topologyToString(QVCallTree::leaf));
  EXPECT_STREQ("unknown", QVCallTree::topologyToString(2));
  EXPECT_STREQ("unknown", QVCallTree::topologyToString(-1));
  const char* const granularities[] = {"address", "symbol", "module", "file", "line"};
  for (int value = 0; value < 5; ++value) {
    EXPECT_STREQ(granularities[value], QVCallTree::granularityToString(value));
    EXPECT_EQ(value, QVCallTree::granularityFromString(granularities[value]));
  }
  EXPECT_STREQ("unknown", QVCallTree::granularityToString(5));
  EXPECT_EQ(QVCallTree::tree, QVCallTree::topologyFromString("tree"));
  EXPECT_EQ(QVCallTree::leaf, QVCallTree::topologyFromString("leaf"));
  EXPECT_EQ(-1, QVCallTree::topologyFromString("Tree"));
  EXPECT_EQ(-1, QVCallTree::granularityFromString(""));
}

// ---------------------------------------------------------------------------
// Construction: the edge cases of an empty list, single frames and merging.

TEST_F(QVCallTreeTest, EmptyListsStacksAndNullEntriesAddNothingAndOneFrameMakesOneChild) {
  QVCallTree tree(TenureList(), QVCallTree::tree, QVCallTree::symbol);
  ASSERT_TRUE(tree.rootNode());
  EXPECT_EQ(0u, tree.rootNode()->numberOfChildren());
  EXPECT_EQ(0.0, tree.rootNode()->totalWeight());
  std::unordered_set<QVThreadId> threads;
  tree.getThreadIds(threads);
  EXPECT_TRUE(threads.empty());
  EXPECT_FALSE(tree.rootNodeForThreadId(threadA1));
  EXPECT_FALSE(tree.rootNodeForProcessId(processA));
  EXPECT_FALSE(tree.rootNodeForSystemId(SystemA()));

  // Empty stacks and null entries add nothing; one frame makes one child
  // with self and total one in either topology.
  const TenureList samples = {Sample(threadA1, {}, source()), nullptr, Sample(threadA1, {kAlpha + 0x20}, source())};
  for (QVCallTree::Topology topology : {QVCallTree::tree, QVCallTree::leaf}) {
    SCOPED_TRACE(QVCallTree::topologyToString(topology));
    QVCallTree withOne(samples, topology, QVCallTree::symbol);
    EXPECT_EQ(1.0, withOne.rootNode()->totalWeight());
    const RootPtr thread = withOne.rootNodeForThreadId(threadA1);
    ASSERT_TRUE(thread);
    const std::vector<NodePtr> children = Children(*thread);
    ASSERT_EQ(1u, children.size());
    EXPECT_EQ(1.0, children[0]->selfWeight());
    EXPECT_EQ(1.0, children[0]->totalWeight());
    EXPECT_FALSE(children[0]->hasChildren());
    EXPECT_EQ(kAlpha + 0x20, children[0]->address());
    EXPECT_EQ("alpha_a", children[0]->symbolName());
    EXPECT_EQ("libalpha.so", children[0]->moduleName());
    EXPECT_EQ(".text", children[0]->sectionName());
    EXPECT_EQ(1.0, thread->totalWeight()) << "a root counts its samples";
  }
}

TEST_F(QVCallTreeTest, FramesWithoutSymbolStayApartAndModulesMergeTheirFunctions) {
  // kAlpha + 0x4 has a section but no symbol; kNowhere has neither.
  const TenureList samples = {Sample(threadA1, {kAlpha + 0x4}, source()), Sample(threadA1, {kNowhere}, source()),
                              Sample(threadA1, {kNowhere + 8}, source()), Sample(threadA1, {kNowhere}, source())};
  for (QVCallTree::Granularity granularity :
       {QVCallTree::symbol, QVCallTree::module, QVCallTree::file, QVCallTree::line}) {
    SCOPED_TRACE(QVCallTree::granularityToString(granularity));
    QVCallTree tree(samples, QVCallTree::tree, granularity);
    std::vector<NodePtr> children;
    tree.rootNodeForThreadId(threadA1)->getSortedChildren(children, Predicate(Predicate::KindAddress), false);
    ASSERT_EQ(3u, children.size());
    EXPECT_EQ(kAlpha + 0x4, children[0]->address());
    EXPECT_EQ(kNowhere, children[1]->address());
    EXPECT_EQ(2.0, children[1]->totalWeight());
    EXPECT_EQ(kNowhere + 8, children[2]->address());
    EXPECT_EQ("libalpha.so", children[0]->moduleName());
    EXPECT_EQ("", children[1]->moduleName());
  }

  // Module granularity merges the functions of one module.
  const TenureList inTwoModules = {Sample(threadA1, {kAlpha + 0x20, kBeta + 0x10}, source()),
                                   Sample(threadA1, {kAlpha + 0x90, kBeta + 0x180}, source())};
  QVCallTree byModule(inTwoModules, QVCallTree::tree, QVCallTree::module);
  const std::vector<NodePtr> outer = Children(*byModule.rootNodeForThreadId(threadA1));
  ASSERT_EQ(1u, outer.size());
  EXPECT_EQ("libbeta.so", outer[0]->moduleName());
  EXPECT_EQ(2.0, outer[0]->totalWeight());
  const std::vector<NodePtr> inner = Children(*outer[0]);
  ASSERT_EQ(1u, inner.size());
  EXPECT_EQ("libalpha.so", inner[0]->moduleName());
  EXPECT_EQ(2.0, inner[0]->selfWeight());
}

TEST_F(QVCallTreeTest, SharedFrameSamplesBuildTheSameTreeAsPlainOnes) {
  // What a session file gives back: samples whose frames live in a
  // per-thread frame tree, resolved through the frame archiver's source.
  // Stacks repeat and interleave across two threads, as a recording's do;
  // 0x20/0x38 and 0x50/0x60 are pairs of addresses in one symbol, so at
  // symbol granularity the template frame shows which sample came first.
  const QVThreadId threadA2 = Thread(processA, 102);
  const std::vector<std::vector<uint64_t>> shapes = {{kAlpha + 0x38, kBeta + 0x20, kBeta + 0x120},
                                                     {kAlpha + 0x50, kBeta + 0x20, kBeta + 0x120},
                                                     {kAlpha + 0x60, kBeta + 0x120},
                                                     {kBeta + 0x120},
                                                     {kAlpha + 0x20, kBeta + 0x20, kBeta + 0x120},
                                                     {}};
  const std::vector<int> order = {2, 0, 0, 4, 1, 5, 3, 0, 2, 4, 4, 1, 3, 0};
  std::map<QVThreadId, std::shared_ptr<QVUniqueCallFrameArchiver>> archivers;
  for (const QVThreadId& thread : {threadA1, threadA2}) {
    archivers[thread] = std::make_shared<QVUniqueCallFrameArchiver>();
    archivers[thread]->setSymbolSource(source());
  }
  TenureList plain;
  TenureList shared;
  TenureList mixed;
  std::vector<std::vector<uint64_t>> stacksA1;
  for (size_t i = 0; i < order.size(); ++i) {
    const QVThreadId& thread = i % 3 == 1 ? threadA2 : threadA1;
    const std::vector<uint64_t>& stack = shapes[static_cast<size_t>(order[i])];
    const auto& archiver = archivers[thread];
    plain.push_back(Sample(thread, stack, source()));
    shared.push_back(std::make_shared<QVUniqueCallStackTenure>(
        QVContext::uniqueContext(thread, 0, QVContext::StateUser), 0, 1, archiver, archiver->archiveCallFrames(stack)));
    mixed.push_back(i % 2 == 0 ? plain.back() : shared.back());
    if (thread == threadA1) {
      stacksA1.push_back(stack);
    }
  }
  for (QVCallTree::Topology topology : {QVCallTree::tree, QVCallTree::leaf}) {
    for (QVCallTree::Granularity granularity :
         {QVCallTree::address, QVCallTree::symbol, QVCallTree::module, QVCallTree::line}) {
      SCOPED_TRACE(std::string(QVCallTree::topologyToString(topology)) + " " +
                   QVCallTree::granularityToString(granularity));
      QVCallTree fromPlain(plain, topology, granularity);
      QVCallTree fromShared(shared, topology, granularity);
      QVCallTree fromMixed(mixed, topology, granularity);
      EXPECT_EQ(Dump(*fromPlain.rootNode(), granularity, true), Dump(*fromShared.rootNode(), granularity, true));
      EXPECT_EQ(Dump(*fromPlain.rootNode(), granularity, true), Dump(*fromMixed.rootNode(), granularity, true));
      if (granularity == QVCallTree::address || granularity == QVCallTree::symbol) {
        EXPECT_EQ(ExpectedDump(stacksA1, topology, granularity, *space->process),
                  Dump(*fromShared.rootNodeForThreadId(threadA1), granularity));
      }
    }
  }
}

// Address, symbol and module keys are what the trees above merge by; the
// file key of a function without line information and an unsupported
// granularity are seen only here.
TEST_F(QVCallTreeTest, UniqueCallFrameKeysFollowTheGranularity) {
  auto sample = Sample(threadA1, {kAlpha + 0x20, kAlpha + 0x38, kAlpha + 0x50}, source());
  const QVAbstractCallFrame& a1 = *sample->frameAtIndex(0);
  const QVAbstractCallFrame& a2 = *sample->frameAtIndex(1);
  const QVAbstractCallFrame& b = *sample->frameAtIndex(2);

  // Without line information a function stands in for its file.
  QVCallTree byFile(TenureList(), QVCallTree::tree, QVCallTree::file);
  EXPECT_EQ(byFile.uniqueCallFrame(a1), byFile.uniqueCallFrame(a2));
  EXPECT_NE(byFile.uniqueCallFrame(a1), byFile.uniqueCallFrame(b));

  // An unsupported granularity warns and merges everything under key 0.
  const TenureList two = {Sample(threadA1, {kAlpha + 0x20}, source()), Sample(threadA1, {kBeta}, source())};
  std::unique_ptr<QVCallTree> tree;
  uint64_t key = 1;
  const std::string log = test::CaptureLog([&] {
    tree = std::make_unique<QVCallTree>(two, QVCallTree::tree, static_cast<QVCallTree::Granularity>(9));
    key = tree->uniqueCallFrame(*two[0]->frameAtIndex(0));
  });
  EXPECT_EQ(0u, key);
  EXPECT_NE(std::string::npos, log.find("unsupported granularity: 9"));
  ASSERT_EQ(1u, tree->rootNodeForThreadId(threadA1)->numberOfChildren());
}

// ---------------------------------------------------------------------------
// Sorting.

TEST_F(QVCallTreeTest, EachKindSortsStablyAndReverses) {
  // Thread roots' children at address granularity, with these total
  // weights (one sample each = weight 1), put in address order: 0 alpha_a
  // 0x400020 (weight 2), 1 alpha_b 0x400050 (3), 2 alpha_c 0x400090 (2),
  // 3 beta_a 0x800010 (2), 4 beta_b 0x800110 (1). Ties keep the order they
  // came in.
  TenureList samples;
  for (const auto& entry : std::vector<std::pair<uint64_t, int>>{
           {kAlpha + 0x20, 2}, {kAlpha + 0x50, 3}, {kBeta + 0x10, 2}, {kBeta + 0x110, 1}, {kAlpha + 0x90, 2}}) {
    for (int i = 0; i < entry.second; ++i) {
      samples.push_back(Sample(threadA1, {entry.first}, source()));
    }
  }
  QVCallTree tree(samples, QVCallTree::tree, QVCallTree::address);
  std::vector<NodePtr> nodes = Children(*tree.rootNodeForThreadId(threadA1));
  ASSERT_EQ(5u, nodes.size());
  std::sort(nodes.begin(), nodes.end(), [](const NodePtr& a, const NodePtr& b) { return a->address() < b->address(); });
  const struct {
    int kind;
    bool reverse;
    std::vector<size_t> input;
    std::vector<size_t> expected;
  } cases[] = {
      {Predicate::KindNone, true, {0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}},  // kind 0 leaves the order, even reversed
      {Predicate::KindTotalWeight, false, {0, 1, 2, 3, 4}, {4, 0, 2, 3, 1}},
      {Predicate::KindTotalWeight, true, {0, 1, 2, 3, 4}, {1, 0, 2, 3, 4}},
      {Predicate::KindTotalWeight, true, {3, 0, 4, 1, 2}, {1, 3, 0, 2, 4}},
      {Predicate::KindSelfWeight, false, {0, 1, 2, 3, 4}, {4, 0, 2, 3, 1}},
      {Predicate::KindAddress, false, {4, 2, 0, 3, 1}, {0, 1, 2, 3, 4}},
      {Predicate::KindSymbolName, true, {0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}},
      {Predicate::KindModuleName, false, {4, 3, 2, 1, 0}, {2, 1, 0, 4, 3}},  // alpha's functions, then beta's
      {6, false, {0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}},  // kinds beyond five sort nothing, but reverse
      {6, true, {0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("kind " + std::to_string(c.kind) + (c.reverse ? " reversed" : ""));
    std::vector<NodePtr> sorted;
    std::vector<NodePtr> expected;
    for (size_t i = 0; i < c.input.size(); ++i) {
      sorted.push_back(nodes[c.input[i]]);
      expected.push_back(nodes[c.expected[i]]);
    }
    QVCallTreeNode::sortCallTreeNodes(sorted, Predicate(c.kind), c.reverse);
    EXPECT_EQ(expected, sorted);
  }
}

// ---------------------------------------------------------------------------
// Thread, process and system roots, and the lazy merge.

class QVCallTreeRootsTest : public QVCallTreeTest {
 protected:
  // System A: process A (threads A1, A2) and process A' (thread A'1);
  // system B: process B (thread B1). All resolve through one space, which
  // is enough here: only addresses matter.
  void SetUp() override {
    QVCallTreeTest::SetUp();
    add(threadA1, {kAlpha + 0x20, kBeta + 0x10, kBeta + 0x110});
    add(threadA1, {kAlpha + 0x50, kBeta + 0x10, kBeta + 0x110});
    add(threadA2, {kAlpha + 0x20, kBeta + 0x10, kBeta + 0x110});
    add(threadA2, {kAlpha + 0x90, kBeta + 0x110});
    add(threadA2, {kBeta + 0x20});
    add(threadOther1, {kAlpha + 0x20});
    add(threadB1, {kBeta + 0x110});
    add(threadB1, {kBeta + 0x110});
  }

  void add(const QVThreadId& thread, const std::vector<uint64_t>& stack) {
    samples.push_back(Sample(thread, stack, source()));
    stacks[thread].push_back(stack);
  }

  // The tree of the stacks of `threads`, as if one thread had taken them all.
  std::vector<std::string> UnionDump(const std::vector<QVThreadId>& threads, QVCallTree::Topology topology) {
    std::vector<std::vector<uint64_t>> all;
    for (const QVThreadId& thread : threads) {
      all.insert(all.end(), stacks[thread].begin(), stacks[thread].end());
    }
    return ExpectedDump(all, topology, QVCallTree::address, *space->process);
  }

  const QVThreadId threadA2 = Thread(processA, 102);
  const QVProcessId processOther = Process(SystemA(), 200);
  const QVThreadId threadOther1 = Thread(processOther, 201);
  const QVProcessId processB = Process(SystemB(), 100);
  const QVThreadId threadB1 = Thread(processB, 101);
  TenureList samples;
  std::map<QVThreadId, std::vector<std::vector<uint64_t>>> stacks;
};

TEST_F(QVCallTreeRootsTest, IdsLookupsAndSortedRoots) {
  QVCallTree tree(samples, QVCallTree::tree, QVCallTree::address);
  std::unordered_set<QVThreadId> threads;
  tree.getThreadIds(threads);
  EXPECT_EQ((std::unordered_set<QVThreadId>{threadA1, threadA2, threadOther1, threadB1}), threads);
  tree.getThreadIdsForProcessId(processA, threads);
  EXPECT_EQ((std::unordered_set<QVThreadId>{threadA1, threadA2}), threads);
  std::unordered_set<QVProcessId> processes;
  tree.getProcessIds(processes);
  EXPECT_EQ((std::unordered_set<QVProcessId>{processA, processOther, processB}), processes);
  tree.getProcessIdsForSystemId(SystemA(), processes);
  EXPECT_EQ((std::unordered_set<QVProcessId>{processA, processOther}), processes);
  std::unordered_set<QVSystemId> systems;
  tree.getSystemIds(systems);
  EXPECT_EQ((std::unordered_set<QVSystemId>{SystemA(), SystemB()}), systems);

  EXPECT_EQ(threadA2, tree.rootNodeForThreadId(threadA2)->threadId());
  EXPECT_EQ(processOther, tree.rootNodeForProcessId(processOther)->processId());
  EXPECT_EQ(SystemB(), tree.rootNodeForSystemId(SystemB())->systemId());
  EXPECT_FALSE(tree.rootNodeForThreadId(Thread(processA, 999)));
  EXPECT_FALSE(tree.rootNodeForProcessId(Process(SystemB(), 200)));

  // Sorted root nodes skip unknown ids and sort by weight.
  std::vector<RootPtr> roots;
  tree.getSortedRootNodesForThreadIds(roots, {threadA1, threadA2, threadB1, Thread(processB, 555)},
                                      Predicate(Predicate::KindTotalWeight), true);
  ASSERT_EQ(3u, roots.size());
  EXPECT_EQ(threadA2, roots[0]->threadId());  // 3 samples
  // 2 samples each: id order (A1 before B1 as system A sorts first) kept.
  EXPECT_EQ(threadA1, roots[1]->threadId());
  EXPECT_EQ(threadB1, roots[2]->threadId());

  tree.getSortedRootNodesForProcessIds(roots, {processA, processOther, processB}, Predicate(Predicate::KindNone),
                                       true);
  ASSERT_EQ(3u, roots.size());
  EXPECT_EQ(processA, roots[0]->processId()) << "kind 0 leaves id order";
  tree.getSortedRootNodesForSystemIds(roots, {SystemB(), SystemA()}, Predicate(Predicate::KindTotalWeight), false);
  ASSERT_EQ(2u, roots.size());
  EXPECT_EQ(SystemB(), roots[0]->systemId());
}

TEST_F(QVCallTreeRootsTest, WeightsOfPendingRootsComeFromTheirSubsetsAndMergeChangesNothing) {
  QVCallTree tree(samples, QVCallTree::tree, QVCallTree::address);
  const RootPtr top = tree.rootNode();
  const RootPtr process = tree.rootNodeForProcessId(processA);
  const RootPtr system = tree.rootNodeForSystemId(SystemA());
  EXPECT_EQ(2u, process->numberOfPendingSubsets());
  EXPECT_TRUE(process->hasChildren());
  EXPECT_EQ(5.0, process->totalWeight());
  EXPECT_EQ(6.0, system->totalWeight());
  EXPECT_EQ(8.0, top->totalWeight());
  EXPECT_EQ(0.0, top->selfWeight());
  EXPECT_EQ(2u, process->numberOfPendingSubsets()) << "reading weights does not merge";

  EXPECT_EQ(2u, process->numberOfChildren());  // outermost frames 0x800110 and 0x800020
  EXPECT_EQ(0u, process->numberOfPendingSubsets());
  EXPECT_EQ(5.0, process->totalWeight());
  EXPECT_EQ(6.0, system->totalWeight());
  EXPECT_EQ(8.0, top->totalWeight());
}

TEST_F(QVCallTreeRootsTest, RootsShowTheUnionOfTheirThreadsAndThreadsStayAsTheyWere) {
  for (QVCallTree::Topology topology : {QVCallTree::tree, QVCallTree::leaf}) {
    SCOPED_TRACE(QVCallTree::topologyToString(topology));
    QVCallTree tree(samples, topology, QVCallTree::address);
    const std::vector<std::string> threadA1Before = Dump(*tree.rootNodeForThreadId(threadA1), QVCallTree::address);
    EXPECT_EQ(UnionDump({threadA1}, topology), threadA1Before);

    // The system first: merging it merges its processes on the way.
    EXPECT_EQ(UnionDump({threadA1, threadA2, threadOther1}, topology),
              Dump(*tree.rootNodeForSystemId(SystemA()), QVCallTree::address));
    EXPECT_EQ(UnionDump({threadA1, threadA2}, topology),
              Dump(*tree.rootNodeForProcessId(processA), QVCallTree::address));
    EXPECT_EQ(UnionDump({threadA1, threadA2, threadOther1, threadB1}, topology),
              Dump(*tree.rootNode(), QVCallTree::address));
    EXPECT_EQ(threadA1Before, Dump(*tree.rootNodeForThreadId(threadA1), QVCallTree::address))
        << "merged copies must not share nodes with the threads";
  }
}

// ---------------------------------------------------------------------------
// Randomized stacks against the reference model and the weight invariant.

TEST_F(QVCallTreeTest, RandomStacksMatchTheReferenceModelAndWeightsAddUp) {
  // Seeded, so a failure reproduces. The address pool mixes named frames,
  // an unnamed one inside a section and one outside every section, so
  // merging and fallback keys both occur.
  std::mt19937 random(20261205);
  const std::vector<uint64_t> pool = {kAlpha + 0x20, kAlpha + 0x24, kAlpha + 0x50, kAlpha + 0x7f, kAlpha + 0x90,
                                      kAlpha + 0x4,  kBeta + 0x10,  kBeta + 0xf0,  kBeta + 0x110, kNowhere};
  const std::vector<QVThreadId> threads = {threadA1, Thread(processA, 102), Thread(Process(SystemA(), 300), 301),
                                           Thread(Process(SystemB(), 400), 401)};
  std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
  std::uniform_int_distribution<int> depth(0, 12);
  std::uniform_int_distribution<size_t> thread(0, threads.size() - 1);
  TenureList samples;
  std::vector<std::vector<uint64_t>> stacks;
  std::map<QVThreadId, std::vector<std::vector<uint64_t>>> byThread;
  for (int i = 0; i < 400; ++i) {
    // Beyond the three innermost frames only the first three addresses of
    // the pool occur, so that paths share their outer parts.
    std::vector<uint64_t> stack(static_cast<size_t>(depth(random)));
    for (size_t j = 0; j < stack.size(); ++j) {
      stack[j] = pool[j < 3 ? pick(random) : pick(random) % 3];
    }
    const QVThreadId& owner = threads[thread(random)];
    samples.push_back(Sample(owner, stack, source()));
    stacks.push_back(stack);
    byThread[owner].push_back(stack);
  }
  const double nonEmpty = static_cast<double>(
      std::count_if(stacks.begin(), stacks.end(), [](const std::vector<uint64_t>& s) { return !s.empty(); }));

  for (QVCallTree::Topology topology : {QVCallTree::tree, QVCallTree::leaf}) {
    for (QVCallTree::Granularity granularity :
         {QVCallTree::address, QVCallTree::symbol, QVCallTree::module, QVCallTree::line}) {
      const std::string where =
          std::string(QVCallTree::topologyToString(topology)) + " " + QVCallTree::granularityToString(granularity);
      SCOPED_TRACE(where);
      QVCallTree tree(samples, topology, granularity);
      EXPECT_EQ(nonEmpty, tree.rootNode()->totalWeight());
      // Thread roots first, while the roots above them are still pending;
      // then everything through the top root, which merges on the way.
      for (const auto& entry : byThread) {
        WeightCheck thread;
        ExpectWeightsAddUp(*tree.rootNodeForThreadId(entry.first), topology, 0, where, thread);
      }
      WeightCheck check;
      ExpectWeightsAddUp(*tree.rootNode(), topology, 0, where, check);
      EXPECT_GT(check.nodes, 20);
      EXPECT_DOUBLE_EQ(nonEmpty, check.ends) << "every sample ends exactly once";
      if (granularity == QVCallTree::address || granularity == QVCallTree::symbol) {
        EXPECT_EQ(ExpectedDump(stacks, topology, granularity, *space->process), Dump(*tree.rootNode(), granularity));
        for (const auto& entry : byThread) {
          EXPECT_EQ(ExpectedDump(entry.second, topology, granularity, *space->process),
                    Dump(*tree.rootNodeForThreadId(entry.first), granularity));
        }
      }
    }
  }
}

TEST_F(QVCallTreeTest, StackWalkOfTheNodeAgreesWithTheTreesOwnWalk) {
  // addCallFrame follows the stack's caller()/callee(); the tree itself
  // walks the frame vector. Both must give the same subtree.
  std::mt19937 random(7);
  std::uniform_int_distribution<int> offset(0, 0x1ff);
  std::uniform_int_distribution<int> depth(1, 30);
  for (QVCallTree::Topology topology : {QVCallTree::tree, QVCallTree::leaf}) {
    SCOPED_TRACE(QVCallTree::topologyToString(topology));
    TenureList samples;
    const uint64_t start = kBeta + 0x40;  // every sample starts at one frame
    for (int i = 0; i < 100; ++i) {
      std::vector<uint64_t> stack(static_cast<size_t>(depth(random)));
      for (uint64_t& address : stack) {
        address = kBeta + static_cast<uint64_t>(offset(random) & 0x1f0);
      }
      (topology == QVCallTree::leaf ? stack.front() : stack.back()) = start;
      samples.push_back(Sample(threadA1, stack, source()));
    }
    QVCallTree tree(samples, topology, QVCallTree::address);
    const std::vector<NodePtr> built = Children(*tree.rootNodeForThreadId(threadA1));
    ASSERT_EQ(1u, built.size());

    QVCallTreeNode walked(tree);
    for (const auto& sample : samples) {
      const QVAbstractCallFrame* first =
          sample->frameAtIndex(topology == QVCallTree::leaf ? 0 : sample->size() - 1);
      walked.addCallFrame(*sample, first);
    }
    EXPECT_EQ(built[0]->totalWeight(), walked.totalWeight());
    EXPECT_EQ(built[0]->selfWeight(), walked.selfWeight());
    EXPECT_EQ(Dump(*built[0], QVCallTree::address), Dump(walked, QVCallTree::address));
  }
}

// ---------------------------------------------------------------------------
// Text output.

TEST_F(QVCallTreeRootsTest, DescriptionHasTheFixedWordsInThreadOrderHoweverThreadsInterleave) {
  QVProcess::registerProcess(space->process);  // names process A
  QVCallTree tree(samples, QVCallTree::tree, QVCallTree::symbol);
  const std::string text = test::Text(tree);
  EXPECT_EQ(0u, text.find("Profile - Tree")) << text;
  for (const char* words : {"synthetic [100] - Thread [101]\n", "2 samples - tree view", "3 samples - tree view",
                            "Total", "Self", "beta_b [libbeta.so]"}) {
    EXPECT_NE(std::string::npos, text.find(words)) << words << "\n" << text;
  }
  // Threads by id: system A before B; in A, process 100 before 200.
  const size_t a1 = text.find("Thread [101]");
  const size_t a2 = text.find("Thread [102]");
  const size_t other = text.find("Thread [201]");
  const size_t b1 = text.find("Thread [101]", a1 + 1);
  EXPECT_LT(a1, a2);
  EXPECT_LT(a2, other);
  EXPECT_LT(other, b1);
  EXPECT_NE(std::string::npos, b1);

  const std::string summary = test::Text(tree.summary());
  for (const char* words : {"Systems and Processes", "System [alpha-host]", "6 samples - tree view"}) {
    EXPECT_NE(std::string::npos, summary.find(words)) << words << "\n" << summary;
  }
  const std::string leaf = test::Text(QVCallTree(samples, QVCallTree::leaf, QVCallTree::symbol));
  EXPECT_EQ(0u, leaf.find("Profile - Leaf")) << leaf;
  EXPECT_NE(std::string::npos, leaf.find("samples - leaf view")) << leaf;

  // Heavier siblings come first.
  const TenureList siblings = {Sample(threadA1, {kAlpha + 0x20}, source()),
                               Sample(threadA1, {kBeta + 0x10}, source()), Sample(threadA1, {kBeta + 0x10}, source())};
  const std::string siblingText =
      test::Text(QVCallTree(siblings, QVCallTree::tree, QVCallTree::symbol).rootNodeForThreadId(threadA1));
  EXPECT_LT(siblingText.find("beta_a"), siblingText.find("alpha_a")) << siblingText;
  EXPECT_NE(std::string::npos, siblingText.find("3 samples")) << siblingText;
  EXPECT_EQ("", test::Text(std::shared_ptr<QVCallTreeNode>()));

  // The same samples per thread, interleaved differently across threads:
  // the trees are equal and must print equally, heaviest first.
  TenureList reordered = samples;
  std::stable_sort(reordered.begin(), reordered.end(),
                   [](const std::shared_ptr<QVAbstractCallStackTenure>& a,
                      const std::shared_ptr<QVAbstractCallStackTenure>& b) {
                     return b->context().threadId() < a->context().threadId();
                   });
  const auto texts = [](const TenureList& list, QVCallTree::Granularity granularity) {
    std::ostringstream description;
    std::ostringstream summary;
    QVCallTree(list, QVCallTree::leaf, granularity).getDescription(description);
    QVCallTree(list, QVCallTree::leaf, granularity).getSummaryDescription(summary);
    return std::make_pair(description.str(), summary.str());
  };
  for (QVCallTree::Granularity granularity : {QVCallTree::address, QVCallTree::symbol}) {
    EXPECT_EQ(texts(samples, granularity), texts(reordered, granularity));
  }
}

// ---------------------------------------------------------------------------
// Real symbols: frames in this very test binary, resolved through the
// process model of this process.

class QVCallTreeSelfTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    const QVProcessId id = QVProcessLinux::updateProcessList(getpid(), true);
    ASSERT_TRUE(id.isValid());
    process = QVProcess::processWithId(id, false, false);
    ASSERT_TRUE(process);
    thread = QVThreadId::uniqueThreadId(id, getpid(), 0);
    alpha = reinterpret_cast<uint64_t>(&qvcalltree_target_alpha);
    beta = reinterpret_cast<uint64_t>(&qvcalltree_target_beta);
  }
  void TearDown() override {
    process.reset();
    RegistryTest::TearDown();
  }

  std::shared_ptr<QVProcess> process;
  QVThreadId thread;
  uint64_t alpha = 0;
  uint64_t beta = 0;
};

// Symbol and module trees of this program's own functions are what qvprof's
// report tests print (tests/tools/qvprof); file and line granularity follow
// the symbol's line table.
TEST_F(QVCallTreeSelfTest, FunctionsOfTheTestBinaryMergeByFileAndLine) {
  QVRange<unsigned long> range;
  const std::shared_ptr<QVSymbol>& symbol =
      process->symbolForCallFrame(*Sample(thread, {alpha}, process.get())->frameAtIndex(0), range);
  ASSERT_TRUE(symbol);
  if (!symbol->haveSourceLocationInfo()) {
    GTEST_SKIP() << "the test binary carries no line information";
  }
  // Two offsets on different lines and two on one line, as the symbol's own
  // line table has them.
  int firstLine = 0;
  QVFileId file;
  ASSERT_TRUE(symbol->sourceLineForOffset(0, file, firstLine));
  int sameOffset = -1;
  int otherOffset = -1;
  for (int offset = 1; offset < symbol->size(); ++offset) {
    QVFileId other;
    int line = 0;
    if (!symbol->sourceLineForOffset(offset, other, line) || other != file) {
      continue;
    }
    if (line == firstLine && sameOffset < 0) {
      sameOffset = offset;
    } else if (line != firstLine && otherOffset < 0) {
      otherOffset = offset;
    }
  }
  ASSERT_GE(sameOffset, 0);
  ASSERT_GE(otherOffset, 0);
  EXPECT_NE(std::string::npos, file.path().find("QVCallTreeTest.cpp")) << file.path();

  const TenureList lineSamples = {Sample(thread, {alpha}, process.get()),
                              Sample(thread, {alpha + static_cast<uint64_t>(sameOffset)}, process.get()),
                              Sample(thread, {alpha + static_cast<uint64_t>(otherOffset)}, process.get()),
                              Sample(thread, {beta}, process.get())};
  QVCallTree byLine(lineSamples, QVCallTree::tree, QVCallTree::line);
  std::vector<NodePtr> lines;
  byLine.rootNodeForThreadId(thread)->getSortedChildren(lines, Predicate(Predicate::KindTotalWeight), true);
  ASSERT_EQ(3u, lines.size()) << "alpha's first line twice, another alpha line, beta's line";
  EXPECT_EQ(2.0, lines[0]->totalWeight());
  EXPECT_EQ(alpha, lines[0]->address());

  QVCallTree byFile(lineSamples, QVCallTree::tree, QVCallTree::file);
  const std::vector<NodePtr> files = Children(*byFile.rootNodeForThreadId(thread));
  ASSERT_EQ(1u, files.size()) << "alpha and beta are defined in one file";
  EXPECT_EQ(4.0, files[0]->totalWeight());
  const std::string text = test::Text(byLine);
  EXPECT_NE(std::string::npos, text.find("QVCallTreeTest.cpp:" + std::to_string(firstLine))) << text;
}

}  // namespace
}  // namespace Quorvel
