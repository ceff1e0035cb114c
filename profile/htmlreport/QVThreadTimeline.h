#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace Quorvel {

// What each thread did over a session, at a fixed number of time buckets:
// samples per bucket, and the share of each bucket the thread spent on a
// processor (thread tenures) and inside system calls. A million samples or
// tenures fold into a few hundred numbers a thread, which is what a screen
// can show anyway.
class QVThreadTimeline {
 public:
  // Ticks outside [beginTick, endTick) are clamped into the first or last
  // bucket. endTick <= beginTick gives one bucket covering everything.
  QVThreadTimeline(uint64_t beginTick, uint64_t endTick, uint32_t buckets);

  // Lanes are listed in key order; the label is what the page shows.
  void setLabel(int64_t thread, const std::string& label);
  void addSample(int64_t thread, uint64_t tick);
  void addRunning(int64_t thread, uint64_t beginTick, uint64_t endTick);
  void addSystemCall(int64_t thread, uint64_t beginTick, uint64_t endTick);

  uint32_t buckets() const { return buckets_; }
  bool hasRunning() const { return hasRunning_; }
  bool hasSystemCalls() const { return hasSystemCalls_; }

  // {"begin": ns, "end": ns, "buckets": N, "threads": [{"id", "label",
  //  "samples": [counts], "running": [fractions], "syscalls": [fractions]}]}
  // "running" and "syscalls" only when the session had such tenures.
  void toJson(nlohmann::json& out) const;

 private:
  struct Lane {
    std::string label;
    std::vector<uint32_t> samples;
    std::vector<double> running;   // nanoseconds covered per bucket
    std::vector<double> syscalls;
  };
  Lane& _lane(int64_t thread);
  uint32_t _bucket(uint64_t tick) const;
  void _cover(std::vector<double>& covered, uint64_t beginTick, uint64_t endTick) const;

  uint64_t beginTick_;
  uint64_t endTick_;
  uint32_t buckets_;
  double bucketNanos_;
  bool hasRunning_ = false;
  bool hasSystemCalls_ = false;
  std::map<int64_t, Lane> lanes_;
};

}  // namespace Quorvel
