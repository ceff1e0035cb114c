#include "export/QVPprofExporter.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <ostream>
#include <sstream>
#include <tuple>
#include <unordered_map>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include "config/QVEventProfileConfig.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "export/QVContextText.h"
#include "export/QVFrameText.h"
#include "export/profile.pb.h"
#include "ids/QVContext.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionProfile.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"
#include "symbols/elf/QVElfImage.h"

namespace Quorvel {

namespace {

namespace pb = perftools::profiles;

int64_t Nanos(const boost::posix_time::time_duration& duration) {
  return duration.is_special() ? 0 : static_cast<int64_t>(duration.total_microseconds()) * 1000;
}

// The build id of a module's file as lower-case hex, "" when the file is
// not a readable ELF file here (a session read on another machine, the
// kernel, a deleted library).
std::string BuildId(const std::string& path) {
  boost::system::error_code error;
  if (path.empty() || path[0] != '/' || !boost::filesystem::is_regular_file(path, error)) return "";
  const QVElfImage image(path);
  return image.isValid() ? image.buildId() : std::string();
}

class ProfileBuilder {
 public:
  explicit ProfileBuilder(pb::Profile& profile) : profile_(profile) { string(""); }

  int64_t string(const std::string& text) {
    const auto found = strings_.find(text);
    if (found != strings_.end()) return found->second;
    const int64_t index = profile_.string_table_size();
    profile_.add_string_table(text);
    strings_.emplace(text, index);
    return index;
  }

  void valueType(pb::ValueType* type, const std::string& name, const std::string& unit) {
    type->set_type(string(name));
    type->set_unit(string(unit));
  }

  // The location of one frame of a stack resolved through `source`.
  uint64_t location(const void* source, const QVAbstractCallFrame& frame) {
    const auto key = std::make_pair(source, frame.address());
    const auto found = locations_.find(key);
    if (found != locations_.end()) return found->second;
    pb::Location* location = profile_.add_location();
    location->set_id(static_cast<uint64_t>(profile_.location_size()));
    location->set_address(frame.address());
    const QVModule* module = frame.module().get();
    if (module) {
      QVRange<uint64_t> range;
      frame.section(range);
      location->set_mapping_id(mapping(*module, range, frame.address()));
    }
    QVRange<uint64_t> range;
    const std::shared_ptr<QVSymbol>& symbol = frame.symbol(range);
    if (symbol && !symbol->name().empty()) {
      int line = 0;
      const QVFileId file = frame.sourceLocation(line);
      const std::string path = file.isValid() ? file.path() : std::string();
      pb::Line* entry = location->add_line();
      entry->set_function_id(function(QVFrameText::symbolName(frame), symbol->name(), path));
      if (line > 0) entry->set_line(line);
    }
    locations_.emplace(key, location->id());
    return location->id();
  }

  // Puts the mapping of `mainPath` first, as readers take mapping 0 for
  // the main binary, and gives each its build id.
  void finishMappings(const std::string& mainPath) {
    auto* mappings = profile_.mutable_mapping();
    for (int i = 0; i < mappings->size(); ++i) {
      pb::Mapping* mapping = mappings->Mutable(i);
      const std::string& path = profile_.string_table(static_cast<int>(mapping->filename()));
      const std::string id = BuildId(path);
      if (!id.empty()) mapping->set_build_id(string(id));
      if (i > 0 && !mainPath.empty() && path == mainPath) mappings->SwapElements(0, i);
    }
  }

 private:
  uint64_t mapping(const QVModule& module, const QVRange<uint64_t>& section, uint64_t address) {
    const uint64_t start = section.length > 0 ? section.location : address;
    const uint64_t limit = section.length > 0 ? section.location + section.length : address + 1;
    const auto found = mappings_.find(&module);
    pb::Mapping* mapping;
    if (found != mappings_.end()) {
      mapping = profile_.mutable_mapping(found->second);
      mapping->set_memory_start(std::min(mapping->memory_start(), start));
      mapping->set_memory_limit(std::max(mapping->memory_limit(), limit));
      return mapping->id();
    }
    mappings_.emplace(&module, profile_.mapping_size());
    mapping = profile_.add_mapping();
    mapping->set_id(static_cast<uint64_t>(profile_.mapping_size()));
    mapping->set_memory_start(start);
    mapping->set_memory_limit(limit);
    mapping->set_file_offset(module.offset());
    mapping->set_filename(string(!module.path().empty() ? module.path() : module.name()));
    mapping->set_has_functions(true);
    mapping->set_has_filenames(true);
    mapping->set_has_line_numbers(true);
    return mapping->id();
  }

  uint64_t function(const std::string& name, const std::string& systemName, const std::string& file) {
    const auto key = std::make_tuple(name, systemName, file);
    const auto found = functions_.find(key);
    if (found != functions_.end()) return found->second;
    pb::Function* function = profile_.add_function();
    function->set_id(static_cast<uint64_t>(profile_.function_size()));
    function->set_name(string(name));
    function->set_system_name(string(systemName));
    if (!file.empty()) function->set_filename(string(file));
    functions_.emplace(key, function->id());
    return function->id();
  }

  pb::Profile& profile_;
  std::unordered_map<std::string, int64_t> strings_;
  struct LocationHash {
    size_t operator()(const std::pair<const void*, uint64_t>& key) const {
      return std::hash<const void*>()(key.first) * 31 + std::hash<uint64_t>()(key.second);
    }
  };
  std::unordered_map<std::pair<const void*, uint64_t>, uint64_t, LocationHash> locations_;
  std::unordered_map<const QVModule*, int> mappings_;
  std::map<std::tuple<std::string, std::string, std::string>, uint64_t> functions_;
};

}  // namespace

QVPprofExporter::QVPprofExporter(const QVSessionProfile& session, const QVCallTree::TenureList& samples)
    : profile_(std::make_unique<pb::Profile>()) {
  ProfileBuilder builder(*profile_);
  builder.valueType(profile_->add_sample_type(), "samples", "count");

  // CPU time only where a sample stands for a known stretch of it.
  const std::shared_ptr<QVSessionConfig> config = session.config();
  int64_t period = 0;
  const bool timed = config && config->trigger != QVSessionConfig::TriggerEvent &&
                     config->trigger != QVSessionConfig::TriggerUnknown && config->timerConfig &&
                     std::isfinite(config->timerConfig->interval) && config->timerConfig->interval > 0.0;
  if (timed) {
    period = static_cast<int64_t>(std::llround(config->timerConfig->interval * 1e9));
    builder.valueType(profile_->add_sample_type(), "cpu", "nanoseconds");
    builder.valueType(profile_->mutable_period_type(), "cpu", "nanoseconds");
    profile_->set_default_sample_type(builder.string("cpu"));
  } else if (config && config->trigger == QVSessionConfig::TriggerEvent && config->eventConfig) {
    period = static_cast<int64_t>(std::min<uint64_t>(config->eventConfig->triggerCount, INT64_MAX));
    builder.valueType(profile_->mutable_period_type(), "events", "count");
  }
  profile_->set_period(period);

  const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  if (!session.beginTime().is_special()) {
    profile_->set_time_nanos(Nanos(session.beginTime() - epoch));
    if (!session.endTime().is_special() && session.endTime() > session.beginTime()) {
      profile_->set_duration_nanos(Nanos(session.endTime() - session.beginTime()));
    }
  }

  // Identical stacks of one thread become one sample. Samples that share
  // their frames (same frame tree and leaf) are the same stack, so each such
  // stack is resolved once: a recording repeats a few thousand stacks a
  // million times.
  struct StackHash {
    size_t operator()(const std::pair<int64_t, std::vector<uint64_t>>& key) const {
      size_t hash = std::hash<int64_t>()(key.first);
      for (uint64_t id : key.second) hash = hash * 1000003u ^ std::hash<uint64_t>()(id);
      return hash;
    }
  };
  struct SharedHash {
    size_t operator()(const std::tuple<int64_t, const void*, int>& key) const {
      return (std::hash<int64_t>()(std::get<0>(key)) * 31 + std::hash<const void*>()(std::get<1>(key))) * 31 +
             std::hash<int>()(std::get<2>(key));
    }
  };
  std::unordered_map<std::pair<int64_t, std::vector<uint64_t>>, int, StackHash> byStack;
  std::unordered_map<std::tuple<int64_t, const void*, int>, int, SharedHash> byShared;
  std::map<int64_t, std::pair<int64_t, std::string>> threads;  // tid -> pid, name
  std::vector<const QVAbstractCallFrame*> frames;
  std::string mainPath;
  const auto newSample = [&](int64_t tid, const std::vector<uint64_t>& stack) {
    pb::Sample* out = profile_->add_sample();
    for (uint64_t id : stack) out->add_location_id(id);
    out->add_value(0);
    if (timed) out->add_value(0);
    const auto& thread = threads[tid];
    pb::Label* label = out->add_label();
    label->set_key(builder.string("pid"));
    label->set_num(thread.first);
    label = out->add_label();
    label->set_key(builder.string("tid"));
    label->set_num(tid);
    if (!thread.second.empty()) {
      label = out->add_label();
      label->set_key(builder.string("thread"));
      label->set_str(builder.string(thread.second));
    }
    return profile_->sample_size() - 1;
  };
  for (const auto& sample : samples) {
    if (!sample) continue;
    const QVThreadId threadId = sample->context().threadId();
    const int64_t tid = threadId.nativeIdentifier();
    if (threads.find(tid) == threads.end()) {
      threads[tid] = {threadId.asProcessId().nativeIdentifier(), QVContextText::threadName(threadId)};
      if (mainPath.empty()) mainPath = QVContextText::processPath(threadId.asProcessId());
    }
    int leaf = -1;
    const void* frameTree = sample->sharedFrameTree(leaf);
    int index = -1;
    if (frameTree) {
      const auto found = byShared.find(std::make_tuple(tid, frameTree, leaf));
      if (found != byShared.end()) index = found->second;
    }
    if (index < 0) {
      sample->getFrames(frames);
      std::pair<int64_t, std::vector<uint64_t>> key(tid, {});
      for (const QVAbstractCallFrame* frame : frames) {
        if (frame) key.second.push_back(builder.location(sample->symbolSource(), *frame));
      }
      const auto found = byStack.find(key);
      index = found != byStack.end() ? found->second : newSample(tid, key.second);
      if (found == byStack.end()) byStack.emplace(std::move(key), index);
      if (frameTree) byShared.emplace(std::make_tuple(tid, frameTree, leaf), index);
    }
    pb::Sample* out = profile_->mutable_sample(index);
    out->set_value(0, out->value(0) + 1);
    // The CPU time the thread used since its previous sample where the
    // recording measured it; otherwise the stretch a sample stands for.
    if (timed) out->set_value(1, out->value(1) + (sample->cpuTimeNanos() >= 0 ? sample->cpuTimeNanos() : period));
  }
  builder.finishMappings(mainPath);
}

QVPprofExporter::~QVPprofExporter() = default;

bool QVPprofExporter::write(std::ostream& out) const {
  std::string bytes;
  if (!profile_->SerializeToString(&bytes)) return false;
  boost::iostreams::filtering_ostream gzip;
  gzip.push(boost::iostreams::gzip_compressor());
  gzip.push(out);
  gzip.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  gzip.reset();  // flushes the gzip trailer into `out`
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace Quorvel
