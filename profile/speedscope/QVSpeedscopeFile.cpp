#include "speedscope/QVSpeedscopeFile.h"

#include <ostream>

#include <nlohmann/json.hpp>

#include "base/QVException.h"

namespace Quorvel {

uint32_t QVSpeedscopeFile::frameIndex(const Frame& frame) {
  std::string key = frame.name;
  key.push_back('\0');
  key += frame.file;
  const auto inserted = frameIndex_.emplace(std::move(key), static_cast<uint32_t>(frames_.size()));
  if (inserted.second) frames_.push_back(frame);
  return inserted.first->second;
}

void QVSpeedscopeFile::beginProfile(const std::string& name) {
  profiles_.emplace_back();
  profiles_.back().name = name;
}

void QVSpeedscopeFile::addSample(const std::vector<uint32_t>& stack, double weight) {
  if (profiles_.empty()) throw QVException("speedscope sample added before a profile", __LINE__, __FILE__);
  for (uint32_t index : stack) {
    if (index >= frames_.size()) throw QVException("speedscope sample names an unknown frame", __LINE__, __FILE__);
  }
  Profile& profile = profiles_.back();
  if (!profile.samples.empty() && profile.samples.back() == stack) {
    profile.weights.back() += weight;
  } else {
    profile.samples.push_back(stack);
    profile.weights.push_back(weight);
  }
  profile.total += weight;
}

void QVSpeedscopeFile::write(std::ostream& out) const {
  // Symbol names are not guaranteed UTF-8; a replaced byte beats no file.
  auto text = [](const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  nlohmann::json frames = nlohmann::json::array();
  for (const Frame& frame : frames_) {
    nlohmann::json entry{{"name", frame.name}};
    if (!frame.file.empty()) entry["file"] = frame.file;
    frames.push_back(std::move(entry));
  }
  out << "{\"$schema\":\"https://www.speedscope.app/file-format-schema.json\",\"name\":" << text(name_)
      << ",\"exporter\":\"qvprof\",\"activeProfileIndex\":0,\"shared\":{\"frames\":" << text(frames)
      << "},\"profiles\":[";
  // The stacks are streamed: as a document, a million samples of forty
  // frames would take forty million values of memory. Indices are plain
  // integers; every text and number that needs formatting goes through the
  // JSON library.
  for (size_t p = 0; p < profiles_.size(); ++p) {
    const Profile& profile = profiles_[p];
    out << (p == 0 ? "" : ",") << "{\"type\":\"sampled\",\"name\":" << text(profile.name)
        << ",\"unit\":\"none\",\"startValue\":0,\"endValue\":" << text(profile.total) << ",\"samples\":[";
    for (size_t i = 0; i < profile.samples.size(); ++i) {
      out << (i == 0 ? "[" : ",[");
      const std::vector<uint32_t>& stack = profile.samples[i];
      for (size_t k = 0; k < stack.size(); ++k) out << (k == 0 ? "" : ",") << stack[k];
      out << ']';
    }
    out << "],\"weights\":[";
    for (size_t i = 0; i < profile.weights.size(); ++i) out << (i == 0 ? "" : ",") << text(profile.weights[i]);
    out << "]}";
  }
  out << "]}\n";
}

}  // namespace Quorvel
