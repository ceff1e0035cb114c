#include "calltree/QVCallTree.h"

#include <algorithm>
#include <cstdint>
#include <ostream>

#include "base/QVFormat.h"
#include "base/QVLog.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "samples/QVCallFrameTree.h"
#include "symbols/QVModule.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSymbol.h"

namespace Quorvel {

namespace {

// Keys that stand for an address carry this bit; identifier keys are the
// addresses of interned records in this process, which never have it.
constexpr uint64_t kAddressKeyTag = uint64_t(1) << 63;
// Canonical x86-64 addresses are sign extensions of their low 48 bits, so
// those bits alone tell them apart.
constexpr uint64_t kAddressKeyMask = (uint64_t(1) << 48) - 1;
// The line's share of a line key; a file without lines takes the one value
// that line numbers of real files practically never reach.
constexpr int kLineKeyBits = 16;
constexpr uint64_t kLineKeyMask = (uint64_t(1) << kLineKeyBits) - 1;

uint64_t AddressKey(uint64_t address) { return kAddressKeyTag | (address & kAddressKeyMask); }

// Interned ids are handles on one immortal record per distinct value, so
// the record's address is an exact, collision-free 64-bit key.
template <class Id>
uint64_t IdentityKey(const Id& id) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(id.archiveIdentity()));
}

// The key of the frame's symbol, or 0 without one (no record lives at 0).
uint64_t SymbolKey(const QVAbstractCallFrame& frame) {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = frame.symbol(range);
  return symbol && symbol->symbolId().isValid() ? IdentityKey(symbol->symbolId()) : 0;
}

// The registered source file of the frame's line information, or 0.
uint64_t FileKey(const QVAbstractCallFrame& frame, int& line) {
  line = 0;
  const QVFileId fileId = frame.sourceLocation(line);
  if (!fileId.isValid()) {
    return 0;
  }
  const std::shared_ptr<QVSourceFile> file = QVSourceFile::sourceFileWithId(fileId);
  return file && file->fileId().isValid() ? IdentityKey(file->fileId()) : 0;
}

template <class Id>
void SortedIds(const std::unordered_set<Id>& ids, std::vector<Id>& sorted) {
  sorted.assign(ids.begin(), ids.end());
  std::sort(sorted.begin(), sorted.end());
}

template <class Id>
void SortedRoots(const std::unordered_map<Id, QVCallTree::RootPtr>& roots, const std::unordered_set<Id>& ids,
                 const QVCallTree::SortPredicate& predicate, bool reverse, std::vector<QVCallTree::RootPtr>& out) {
  std::vector<Id> sorted;
  SortedIds(ids, sorted);
  out.clear();
  for (const Id& id : sorted) {
    const auto found = roots.find(id);
    if (found != roots.end()) {
      out.push_back(found->second);
    }
  }
  QVCallTreeRootNode::sortCallTreeRootNodes(out, predicate, reverse);
}

template <class Id>
QVCallTree::RootPtr Lookup(const std::unordered_map<Id, QVCallTree::RootPtr>& roots, const Id& id) {
  const auto found = roots.find(id);
  return found != roots.end() ? found->second : QVCallTree::RootPtr();
}

const char* const kTopologyWords[] = {"tree", "leaf"};
const char* const kGranularityWords[] = {"address", "symbol", "module", "file", "line"};

}  // namespace

QVCallTree::QVCallTree(const TenureList& tenures, Topology topology, Granularity granularity,
                       const WeightFunction& weight)
    : topology_(topology),
      granularity_(granularity),
      tenures_(tenures),
      weight_(weight),
      nodes_(std::make_shared<std::deque<QVCallTreeNode>>()),
      rootNode_(std::make_shared<QVCallTreeRootNode>(*this)) {
  if (granularity_ < address || granularity_ > line) {
    QV_WARNING("unsupported granularity: " << static_cast<int>(granularity_));
  }
  _addSamples();
  // The caches only serve construction; a built tree is only read.
  keyCaches_.clear();
  descriptorKeys_.clear();
  lastSource_ = nullptr;
  lastCache_ = nullptr;
  scratchFrames_ = std::vector<const QVAbstractCallFrame*>();
  scratchKeys_ = std::vector<uint64_t>();
}

QVCallTree::~QVCallTree() = default;

QVCallTreeNode* QVCallTree::_newNode() { return &nodes_->emplace_back(*this); }

QVCallTree::RootPtr QVCallTree::_threadRootNode(const QVThreadId& threadId) {
  RootPtr& thread = threadRootNodes_[threadId];
  if (thread) {
    return thread;
  }
  thread = std::make_shared<QVCallTreeRootNode>(*this, threadId);
  const QVProcessId processId = threadId.asProcessId();
  RootPtr& process = processRootNodes_[processId];
  if (!process) {
    process = std::make_shared<QVCallTreeRootNode>(*this, processId);
    const QVSystemId systemId = processId.asSystemId();
    RootPtr& system = systemRootNodes_[systemId];
    if (!system) {
      system = std::make_shared<QVCallTreeRootNode>(*this, systemId);
      rootNode_->addSubsetNode(system);
    }
    system->addSubsetNode(process);
  }
  process->addSubsetNode(thread);
  return thread;
}

void QVCallTree::_addSamples() {
  // Shared-frame samples of one thread with one leaf descriptor have the
  // very same frames, so each such stack is walked once with the number of
  // its samples as weight: a recording repeats a few thousand stacks a
  // million times. Stacks are added in the order of their first sample,
  // which gives every node the template frame a walk of the samples one by
  // one would give it.
  struct Entry {
    QVCallTreeRootNode* root;
    // Either a plain sample, or a stack of shared frames named by its
    // frame tree and leaf descriptor.
    const QVAbstractCallStackTenure* tenure;
    const QVCallFrameTree* frameTree;
    int leafDescriptor;
    double weight;
  };
  struct PairHash {
    size_t operator()(const std::pair<const void*, const void*>& key) const {
      return std::hash<const void*>()(key.first) * 31 + std::hash<const void*>()(key.second);
    }
  };
  std::vector<Entry> entries;
  // Per (thread root, frame tree): the entry of each leaf descriptor, + 1.
  std::unordered_map<std::pair<const void*, const void*>, std::vector<size_t>, PairHash> leafEntries;
  std::pair<const void*, const void*> lastPair(nullptr, nullptr);
  std::vector<size_t>* lastLeaves = nullptr;
  QVThreadId lastThread;
  QVCallTreeRootNode* lastRoot = nullptr;
  for (const std::shared_ptr<QVAbstractCallStackTenure>& tenure : tenures_) {
    if (!tenure) {
      continue;
    }
    const QVThreadId threadId = tenure->context().threadId();
    if (lastRoot == nullptr || threadId != lastThread) {
      lastRoot = _threadRootNode(threadId).get();
      lastThread = threadId;
    }
    const double weight = weight_ ? weight_(*tenure) : 1.0;
    if (!(weight > 0.0)) {
      continue;
    }
    int leaf = -1;
    const QVCallFrameTree* frameTree = tenure->sharedFrameTree(leaf);
    if (frameTree == nullptr) {
      entries.push_back(Entry{lastRoot, tenure.get(), nullptr, -1, weight});
      continue;
    }
    if (leaf < 0 || leaf >= frameTree->frameCount()) {
      continue;  // an empty stack, or one that names no frame
    }
    const std::pair<const void*, const void*> key(lastRoot, frameTree);
    if (lastLeaves == nullptr || key != lastPair) {
      lastLeaves = &leafEntries[key];
      lastPair = key;
    }
    if (lastLeaves->size() < static_cast<size_t>(frameTree->frameCount())) {
      lastLeaves->resize(static_cast<size_t>(frameTree->frameCount()), 0);
    }
    size_t& slot = (*lastLeaves)[static_cast<size_t>(leaf)];
    if (slot == 0) {
      entries.push_back(Entry{lastRoot, nullptr, frameTree, leaf, 0.0});
      slot = entries.size();
    }
    entries[slot - 1].weight += weight;
  }
  leafEntries.clear();
  for (const Entry& entry : entries) {
    if (entry.tenure != nullptr) {
      _sampleFrames(*entry.tenure, scratchFrames_, scratchKeys_);
      entry.root->_addFrames(scratchFrames_, scratchKeys_, entry.weight);
    } else {
      _sharedFrames(*entry.frameTree, entry.leafDescriptor, scratchFrames_, scratchKeys_);
      entry.root->_addFrames(scratchFrames_, scratchKeys_, entry.weight);
    }
  }
}

uint64_t QVCallTree::_cachedKey(const QVSymbolSource* source, const QVAbstractCallFrame& frame) {
  if (granularity_ == address) {
    return frame.address();
  }
  if (granularity_ < address || granularity_ > line) {
    return 0;  // warned once by the constructor rather than once a frame
  }
  if (lastCache_ == nullptr || source != lastSource_) {
    lastCache_ = &keyCaches_[source];
    lastSource_ = source;
  }
  // A frame resolves through its stack's source, so within one source the
  // address it is looked up at alone decides the key.
  const auto entry = lastCache_->try_emplace(frame.lookupAddress(), 0);
  if (entry.second) {
    entry.first->second = uniqueCallFrame(frame);
  }
  return entry.first->second;
}

void QVCallTree::_sampleFrames(const QVAbstractCallStackTenure& tenure,
                               std::vector<const QVAbstractCallFrame*>& frames, std::vector<uint64_t>& keys) {
  int leaf = -1;
  if (const QVCallFrameTree* frameTree = tenure.sharedFrameTree(leaf)) {
    _sharedFrames(*frameTree, leaf, frames, keys);
    return;
  }
  tenure.getFrames(frames);
  keys.resize(frames.size());
  const QVSymbolSource* source = tenure.symbolSource();
  for (size_t i = 0; i < frames.size(); ++i) {
    keys[i] = _cachedKey(source, *frames[i]);
  }
}

void QVCallTree::_sharedFrames(const QVCallFrameTree& tree, int leafDescriptor,
                               std::vector<const QVAbstractCallFrame*>& frames, std::vector<uint64_t>& keys) {
  frames.clear();
  keys.clear();
  // 0 marks a key not yet known: resolving granularities never produce it,
  // and the others are not remembered.
  const bool remember = granularity_ > address && granularity_ <= line;
  std::vector<uint64_t>* known = nullptr;
  if (remember) {
    known = &descriptorKeys_[&tree];
    if (known->size() < static_cast<size_t>(tree.frameCount())) {
      known->resize(static_cast<size_t>(tree.frameCount()), 0);
    }
  }
  // The walk of the sample's getFrames, bounded by the frame count so that
  // a corrupt parent chain cannot loop.
  int descriptor = leafDescriptor;
  for (int steps = 0; steps < tree.frameCount(); ++steps) {
    const QVAbstractCallFrame* frame = tree.frameAtDescriptor(descriptor);
    if (frame == nullptr) {
      break;
    }
    uint64_t key = 0;
    if (known != nullptr) {
      uint64_t& slot = (*known)[static_cast<size_t>(descriptor)];
      if (slot == 0) {
        slot = _cachedKey(tree.symbolSource(), *frame);
      }
      key = slot;
    } else {
      key = _cachedKey(tree.symbolSource(), *frame);
    }
    frames.push_back(frame);
    keys.push_back(key);
    descriptor = tree.parentOfDescriptor(descriptor);
  }
}

uint64_t QVCallTree::uniqueCallFrame(const QVAbstractCallFrame& frame) const {
  switch (granularity_) {
    case address:
      return frame.address();
    case symbol: {
      const uint64_t key = SymbolKey(frame);
      return key != 0 ? key : AddressKey(frame.address());
    }
    case module: {
      const std::shared_ptr<QVModule>& found = frame.module();
      return found && found->moduleId().isValid() ? IdentityKey(found->moduleId()) : AddressKey(frame.address());
    }
    case file: {
      int lineNumber = 0;
      if (const uint64_t key = FileKey(frame, lineNumber)) {
        return key;
      }
      const uint64_t key = SymbolKey(frame);
      return key != 0 ? key : AddressKey(frame.address());
    }
    case line: {
      int lineNumber = 0;
      if (const uint64_t key = FileKey(frame, lineNumber)) {
        return (key << kLineKeyBits) | (static_cast<uint64_t>(lineNumber) & kLineKeyMask);
      }
      const uint64_t key = SymbolKey(frame);
      return key != 0 ? (key << kLineKeyBits) | kLineKeyMask : AddressKey(frame.address());
    }
  }
  QV_WARNING("unsupported granularity: " << static_cast<int>(granularity_));
  return 0;
}

QVCallTree::RootPtr QVCallTree::rootNodeForThreadId(const QVThreadId& threadId) const {
  return Lookup(threadRootNodes_, threadId);
}

QVCallTree::RootPtr QVCallTree::rootNodeForProcessId(const QVProcessId& processId) const {
  return Lookup(processRootNodes_, processId);
}

QVCallTree::RootPtr QVCallTree::rootNodeForSystemId(const QVSystemId& systemId) const {
  return Lookup(systemRootNodes_, systemId);
}

void QVCallTree::getThreadIds(std::unordered_set<QVThreadId>& out) const {
  out.clear();
  for (const auto& entry : threadRootNodes_) {
    out.insert(entry.first);
  }
}

void QVCallTree::getThreadIdsForProcessId(const QVProcessId& processId, std::unordered_set<QVThreadId>& out) const {
  out.clear();
  for (const auto& entry : threadRootNodes_) {
    if (entry.first.asProcessId() == processId) {
      out.insert(entry.first);
    }
  }
}

void QVCallTree::getProcessIds(std::unordered_set<QVProcessId>& out) const {
  out.clear();
  for (const auto& entry : processRootNodes_) {
    out.insert(entry.first);
  }
}

void QVCallTree::getProcessIdsForSystemId(const QVSystemId& systemId, std::unordered_set<QVProcessId>& out) const {
  out.clear();
  for (const auto& entry : processRootNodes_) {
    if (entry.first.asSystemId() == systemId) {
      out.insert(entry.first);
    }
  }
}

void QVCallTree::getSystemIds(std::unordered_set<QVSystemId>& out) const {
  out.clear();
  for (const auto& entry : systemRootNodes_) {
    out.insert(entry.first);
  }
}

void QVCallTree::getSortedRootNodesForThreadIds(std::vector<RootPtr>& out, const std::unordered_set<QVThreadId>& ids,
                                                const SortPredicate& predicate, bool reverse) const {
  SortedRoots(threadRootNodes_, ids, predicate, reverse, out);
}

void QVCallTree::getSortedRootNodesForProcessIds(std::vector<RootPtr>& out,
                                                 const std::unordered_set<QVProcessId>& ids,
                                                 const SortPredicate& predicate, bool reverse) const {
  SortedRoots(processRootNodes_, ids, predicate, reverse, out);
}

void QVCallTree::getSortedRootNodesForSystemIds(std::vector<RootPtr>& out, const std::unordered_set<QVSystemId>& ids,
                                                const SortPredicate& predicate, bool reverse) const {
  SortedRoots(systemRootNodes_, ids, predicate, reverse, out);
}

void QVCallTree::getDescription(std::ostream& os) const {
  os << FormatHeader(std::string("Profile - ") + (topology_ == leaf ? "Leaf" : "Tree") + " View by " +
                         granularityToString(granularity_),
                     '=');
  std::unordered_set<QVThreadId> ids;
  getThreadIds(ids);
  std::vector<QVThreadId> sorted;
  SortedIds(ids, sorted);
  for (const QVThreadId& id : sorted) {
    os << "\n";
    threadRootNodes_.at(id)->getDescription(os);
  }
}

void QVCallTree::getSummaryDescription(std::ostream& os) const {
  os << FormatHeader(std::string("Profile - ") + (topology_ == leaf ? "Leaf" : "Tree") + " View by " +
                         granularityToString(granularity_) + " - Systems and Processes",
                     '=');
  std::unordered_set<QVSystemId> systemIds;
  getSystemIds(systemIds);
  std::vector<QVSystemId> systems;
  SortedIds(systemIds, systems);
  for (const QVSystemId& systemId : systems) {
    os << "\n";
    systemRootNodes_.at(systemId)->getDescription(os);
    std::unordered_set<QVProcessId> processIds;
    getProcessIdsForSystemId(systemId, processIds);
    std::vector<QVProcessId> processes;
    SortedIds(processIds, processes);
    for (const QVProcessId& processId : processes) {
      os << "\n";
      processRootNodes_.at(processId)->getDescription(os);
    }
  }
}

void QVCallTree::_describeFrame(std::ostream& os, const QVAbstractCallFrame* frame) const {
  if (frame == nullptr) {
    return;
  }
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& frameSymbol = frame->symbol(range);
  const std::shared_ptr<QVModule>& frameModule = frame->module();
  const auto writeAddress = [&os, frame] {
    const std::ios_base::fmtflags flags = os.flags();
    os << std::hex << std::showbase << frame->address();
    os.flags(flags);
  };
  const auto writeSymbol = [&] {
    if (frameSymbol && !frameSymbol->name().empty()) {
      os << frameSymbol->demangledName();
    } else {
      writeAddress();
    }
  };
  const auto writeModule = [&] {
    if (frameModule) {
      os << " [" << frameModule->name() << "]";
    }
  };
  switch (granularity_) {
    case address:
      writeAddress();
      if (frameSymbol && !frameSymbol->name().empty()) {
        os << " " << frameSymbol->demangledName();
      }
      writeModule();
      return;
    case module:
      if (frameModule) {
        os << frameModule->name();
      } else {
        writeAddress();
      }
      return;
    case file:
    case line: {
      int number = 0;
      const QVFileId file = frame->sourceLocation(number);
      if (file.isValid()) {
        os << file.path();
        if (granularity_ == line) {
          os << ":" << number;
        }
      } else {
        writeSymbol();
        writeModule();
      }
      return;
    }
    case symbol:
    default:
      writeSymbol();
      writeModule();
      return;
  }
}

const char* QVCallTree::topologyToString(int topology) {
  return topology >= tree && topology <= leaf ? kTopologyWords[topology] : "unknown";
}

const char* QVCallTree::granularityToString(int granularity) {
  return granularity >= address && granularity <= line ? kGranularityWords[granularity] : "unknown";
}

QVCallTree::Topology QVCallTree::topologyFromString(const std::string& text) {
  for (int value = tree; value <= leaf; ++value) {
    if (text == kTopologyWords[value]) {
      return static_cast<Topology>(value);
    }
  }
  return static_cast<Topology>(-1);
}

QVCallTree::Granularity QVCallTree::granularityFromString(const std::string& text) {
  for (int value = address; value <= line; ++value) {
    if (text == kGranularityWords[value]) {
      return static_cast<Granularity>(value);
    }
  }
  return static_cast<Granularity>(-1);
}

std::ostream& operator<<(std::ostream& os, const QVCallTree& tree) {
  tree.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallTree>& tree) {
  if (tree) {
    tree->getDescription(os);
  }
  return os;
}

std::ostream& operator<<(std::ostream& os, const QVCallTree::Summary& summary) {
  summary.tree().getSummaryDescription(os);
  return os;
}

}  // namespace Quorvel
