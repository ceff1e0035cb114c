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

void QVSpeedscopeFile::toJson(nlohmann::json& out) const {
  nlohmann::json frames = nlohmann::json::array();
  for (const Frame& frame : frames_) {
    nlohmann::json entry{{"name", frame.name}};
    if (!frame.file.empty()) entry["file"] = frame.file;
    frames.push_back(std::move(entry));
  }
  nlohmann::json profiles = nlohmann::json::array();
  for (const Profile& profile : profiles_) {
    profiles.push_back({{"type", "sampled"},
                        {"name", profile.name},
                        {"unit", "none"},
                        {"startValue", 0},
                        {"endValue", profile.total},
                        {"samples", profile.samples},
                        {"weights", profile.weights}});
  }
  out = nlohmann::json{{"$schema", "https://www.speedscope.app/file-format-schema.json"},
                       {"name", name_},
                       {"exporter", "qvprof"},
                       {"activeProfileIndex", 0},
                       {"shared", {{"frames", std::move(frames)}}},
                       {"profiles", std::move(profiles)}};
}

void QVSpeedscopeFile::write(std::ostream& out) const {
  nlohmann::json data;
  toJson(data);
  // Symbol names are not guaranteed UTF-8; a replaced byte beats no file.
  out << data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

}  // namespace Quorvel
