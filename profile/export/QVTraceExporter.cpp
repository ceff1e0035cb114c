#include "export/QVTraceExporter.h"

#include <algorithm>
#include <limits>
#include <map>
#include <ostream>
#include <set>
#include <unordered_map>
#include <vector>

#include "export/QVContextText.h"
#include "export/QVFoldedStacks.h"
#include "export/QVFrameText.h"
#include "ids/QVContext.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "samples/QVAbstractThreadTenure.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"

namespace Quorvel {

namespace {

using nlohmann::json;

struct Event {
  uint64_t tick;
  int64_t pid;
  int64_t tid;
  json body;
};

// The "stackFrames" table: one entry per distinct (caller entry, frame),
// ids counting from 1.
class StackFrames {
 public:
  // The id of the innermost frame of the stack, "" for an empty stack; the
  // innermost function's name goes to `leaf`.
  std::string stack(const QVAbstractCallStackTenure& sample, std::string& leaf) {
    // Samples that share their frames are the same stack: resolved once.
    int leafDescriptor = -1;
    const void* frameTree = sample.sharedFrameTree(leafDescriptor);
    const auto key = std::make_pair(frameTree, leafDescriptor);
    if (frameTree) {
      const auto found = shared_.find(key);
      if (found != shared_.end()) return _result(found->second, leaf);
    }
    sample.getFrames(frames_);
    Entry entry{0, -1};
    for (size_t i = frames_.size(); i-- > 0;) {
      const QVAbstractCallFrame* frame = frames_[i];
      if (!frame) continue;
      const int label = _labelOf(sample.symbolSource(), *frame);
      const uint64_t edge = (static_cast<uint64_t>(entry.id) << 32) | static_cast<uint32_t>(label);
      auto found = ids_.emplace(edge, static_cast<int>(nodes_.size()) + 1);
      if (found.second) nodes_.push_back({entry.id, label});
      entry = {found.first->second, label};
    }
    if (frameTree) shared_.emplace(key, entry);
    return _result(entry, leaf);
  }

  json table() const {
    json table = json::object();
    for (size_t i = 0; i < nodes_.size(); ++i) {
      const Label& label = labels_[static_cast<size_t>(nodes_[i].label)];
      json node = {{"name", label.name}, {"category", label.module}};
      if (nodes_[i].parent != 0) node["parent"] = std::to_string(nodes_[i].parent);
      table[std::to_string(i + 1)] = std::move(node);
    }
    return table;
  }

 private:
  struct Label {
    std::string name;
    std::string module;
  };
  struct Node {
    int parent;  // 0 at the outermost frame
    int label;
  };
  struct Entry {
    int id;     // 0 for an empty stack
    int label;  // of the innermost frame
  };
  struct PairHash {
    template <class A, class B>
    size_t operator()(const std::pair<A, B>& key) const {
      return std::hash<A>()(key.first) * 31 + std::hash<B>()(key.second);
    }
  };

  std::string _result(const Entry& entry, std::string& leaf) const {
    leaf = entry.id == 0 ? QVFoldedStacks::NoFrames : labels_[static_cast<size_t>(entry.label)].name;
    return entry.id == 0 ? std::string() : std::to_string(entry.id);
  }

  // Resolving an address walks the process's maps; samples repeat a few
  // thousand addresses many times. Equal names share one label.
  int _labelOf(const void* source, const QVAbstractCallFrame& frame) {
    const auto key = std::make_pair(source, frame.address());
    const auto found = byAddress_.find(key);
    if (found != byAddress_.end()) return found->second;
    Label label{QVFrameText::functionLabel(&frame, QVCallTree::symbol), QVFrameText::moduleName(frame)};
    const auto named = byName_.emplace(label.name + '\n' + label.module, static_cast<int>(labels_.size()));
    if (named.second) labels_.push_back(std::move(label));
    byAddress_.emplace(key, named.first->second);
    return named.first->second;
  }

  std::vector<const QVAbstractCallFrame*> frames_;
  std::vector<Label> labels_;
  std::unordered_map<std::pair<const void*, uint64_t>, int, PairHash> byAddress_;
  std::unordered_map<std::string, int> byName_;
  std::vector<Node> nodes_;
  std::unordered_map<uint64_t, int> ids_;
  std::unordered_map<std::pair<const void*, int>, Entry, PairHash> shared_;
};

}  // namespace

QVTraceExporter::QVTraceExporter(const QVSessionProfile& session, const QVCallTree::TenureList& samples,
                                 const QVSampleFilter& filter) {
  std::vector<Event> events;
  std::map<int64_t, QVThreadId> threads;  // native tid -> id, for the track names
  StackFrames frames;
  const auto note = [&threads](const QVContext& context) {
    threads.emplace(context.threadId().nativeIdentifier(), context.threadId());
  };

  for (const auto& sample : samples) {
    if (!sample) continue;
    const QVContext& context = sample->context();
    note(context);
    std::string leaf;
    const std::string stack = frames.stack(*sample, leaf);
    json body = {{"name", leaf}, {"cat", "sample"}, {"ph", "i"}, {"s", "t"}};
    if (!stack.empty()) body["sf"] = stack;
    events.push_back({sample->endTick(), context.asProcessId().nativeIdentifier(),
                      context.threadId().nativeIdentifier(), std::move(body)});
  }

  if (const auto data = session.threadTenureData()) {
    for (const auto& tenure : data->samples()) {
      if (!tenure || !filter.accepts(tenure->context())) continue;
      const QVContext& context = tenure->context();
      note(context);
      json body = {{"name", "running"},
                   {"cat", "sched"},
                   {"ph", "X"},
                   {"dur", tenure->durationTicks() / 1000.0},
                   {"args",
                    {{"cpu", context.processorIndex()},
                     {"priority", tenure->priority()},
                     {"end", QVAbstractThreadTenure::endReasonDescription(tenure->endReason())}}}};
      events.push_back({tenure->beginTick(), context.asProcessId().nativeIdentifier(),
                        context.threadId().nativeIdentifier(), std::move(body)});
    }
  }

  if (const auto data = session.systemCallData()) {
    for (const auto& call : data->samples()) {
      if (!call || !filter.accepts(call->context())) continue;
      const QVContext& context = call->context();
      note(context);
      json arguments = json::array();
      for (uint64_t argument : call->arguments()) arguments.push_back("0x" + QVFrameText::hex(argument));
      json body = {{"name", "syscall " + std::to_string(call->number())},
                   {"cat", "syscall"},
                   {"ph", "X"},
                   {"dur", call->durationTicks() / 1000.0},
                   {"args",
                    {{"number", call->number()},
                     {"arguments", std::move(arguments)},
                     {"result", "0x" + QVFrameText::hex(call->result())}}}};
      std::string leaf;
      const std::string stack = frames.stack(*call, leaf);
      if (!stack.empty()) body["sf"] = stack;
      events.push_back({call->beginTick(), context.asProcessId().nativeIdentifier(),
                        context.threadId().nativeIdentifier(), std::move(body)});
    }
  }

  uint64_t base = std::numeric_limits<uint64_t>::max();
  for (const Event& event : events) base = std::min(base, event.tick);
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    if (a.pid != b.pid) return a.pid < b.pid;
    return a.tid < b.tid;
  });

  json traceEvents = json::array();
  std::set<int64_t> processes;
  for (const auto& thread : threads) {
    const int64_t pid = thread.second.asProcessId().nativeIdentifier();
    if (processes.insert(pid).second) {
      traceEvents.push_back({{"name", "process_name"},
                             {"ph", "M"},
                             {"pid", pid},
                             {"tid", 0},
                             {"args", {{"name", QVContextText::processName(thread.second.asProcessId())}}}});
    }
    traceEvents.push_back({{"name", "thread_name"},
                           {"ph", "M"},
                           {"pid", pid},
                           {"tid", thread.first},
                           {"args", {{"name", QVContextText::commandName(thread.second)}}}});
  }
  for (Event& event : events) {
    event.body["pid"] = event.pid;
    event.body["tid"] = event.tid;
    event.body["ts"] = (event.tick - base) / 1000.0;
    traceEvents.push_back(std::move(event.body));
  }

  document_ = {{"traceEvents", std::move(traceEvents)},
               {"displayTimeUnit", "ms"},
               {"stackFrames", frames.table()},
               {"otherData", {{"producer", "qvprof"}}}};
}

bool QVTraceExporter::write(std::ostream& out) const {
  out << document_.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace Quorvel
