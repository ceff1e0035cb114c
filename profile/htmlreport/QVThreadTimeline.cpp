#include "htmlreport/QVThreadTimeline.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace Quorvel {

QVThreadTimeline::QVThreadTimeline(uint64_t beginTick, uint64_t endTick, uint32_t buckets)
    : beginTick_(beginTick),
      endTick_(std::max(endTick, beginTick + 1)),
      buckets_(endTick > beginTick ? std::max<uint32_t>(1, buckets) : 1),
      bucketNanos_(static_cast<double>(endTick_ - beginTick_) / buckets_) {}

QVThreadTimeline::Lane& QVThreadTimeline::_lane(int64_t thread) {
  Lane& lane = lanes_[thread];
  if (lane.samples.empty()) {
    lane.samples.assign(buckets_, 0);
    lane.running.assign(buckets_, 0.0);
    lane.syscalls.assign(buckets_, 0.0);
    if (lane.label.empty()) lane.label = std::to_string(thread);
  }
  return lane;
}

void QVThreadTimeline::setLabel(int64_t thread, const std::string& label) { _lane(thread).label = label; }

uint32_t QVThreadTimeline::_bucket(uint64_t tick) const {
  if (tick <= beginTick_) return 0;
  const double position = static_cast<double>(tick - beginTick_) / bucketNanos_;
  return static_cast<uint32_t>(std::min<double>(buckets_ - 1, std::floor(position)));
}

void QVThreadTimeline::addSample(int64_t thread, uint64_t tick) { ++_lane(thread).samples[_bucket(tick)]; }

void QVThreadTimeline::_cover(std::vector<double>& covered, uint64_t beginTick, uint64_t endTick) const {
  const uint64_t from = std::clamp(beginTick, beginTick_, endTick_);
  const uint64_t to = std::clamp(endTick, from, endTick_);
  if (to <= from) return;
  const double start = static_cast<double>(from - beginTick_);
  const double stop = static_cast<double>(to - beginTick_);
  // A tenure spans at most the buckets between its ends, so the loop is
  // bounded by the bucket count, not by the tenure's length.
  for (uint32_t bucket = _bucket(from); bucket < buckets_; ++bucket) {
    const double low = bucket * bucketNanos_;
    const double high = low + bucketNanos_;
    if (low >= stop) break;
    covered[bucket] += std::min(high, stop) - std::max(low, start);
  }
}

void QVThreadTimeline::addRunning(int64_t thread, uint64_t beginTick, uint64_t endTick) {
  hasRunning_ = true;
  _cover(_lane(thread).running, beginTick, endTick);
}

void QVThreadTimeline::addSystemCall(int64_t thread, uint64_t beginTick, uint64_t endTick) {
  hasSystemCalls_ = true;
  _cover(_lane(thread).syscalls, beginTick, endTick);
}

void QVThreadTimeline::toJson(nlohmann::json& out) const {
  // Shares at three decimals: finer than a pixel, and a third of the text.
  auto fractions = [this](const std::vector<double>& covered) {
    nlohmann::json shares = nlohmann::json::array();
    for (double nanos : covered) shares.push_back(std::round(std::min(1.0, nanos / bucketNanos_) * 1000) / 1000);
    return shares;
  };
  nlohmann::json threads = nlohmann::json::array();
  for (const auto& entry : lanes_) {
    nlohmann::json lane{{"id", entry.first}, {"label", entry.second.label}, {"samples", entry.second.samples}};
    if (hasRunning_) lane["running"] = fractions(entry.second.running);
    if (hasSystemCalls_) lane["syscalls"] = fractions(entry.second.syscalls);
    threads.push_back(std::move(lane));
  }
  out = nlohmann::json{
      {"begin", beginTick_}, {"end", endTick_}, {"buckets", buckets_}, {"threads", std::move(threads)}};
}

}  // namespace Quorvel
