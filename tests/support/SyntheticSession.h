#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ids/QVContext.h"

// Functions of the test binary that synthetic samples point into, so that
// every frame resolves through the real process model to a stable name.
extern "C" int qv_export_main(int);
extern "C" int qv_export_parse(int);
extern "C" int qv_export_lex(int);
extern "C" int qv_export_render(int);
extern "C" int qv_export_draw(int);
extern "C" int qv_known_outer(int);
extern "C" int qv_known_middle(int);
extern "C" int qv_known_hot(int);
extern "C" int qv_known_cold(int);

namespace Quorvel {

class QVSessionProfile;
class QVSystemCallTenureArchiver;
class QVThreadTenureArchiver;
class QVUniqueCallStackTenureArchiver;

namespace test {

// A session of the calling thread made of chosen samples: its frames point
// into functions of the test binary, so they resolve through the real
// process model (and, once written, through the session file alone).
class SyntheticSession {
 public:
  using Function = int (*)(int);

  // The calling thread, found through the process model, in user mode on
  // processor `cpu`.
  explicit SyntheticSession(int cpu = 1);

  const QVContext& context() const { return context_; }
  // One byte into the function, as a return address would be.
  static uint64_t inside(Function function);
  // Innermost first.
  static std::vector<uint64_t> inside(const std::vector<Function>& frames);

  void sample(uint64_t begin, uint64_t end, const std::vector<uint64_t>& frames);
  void run(uint64_t begin, uint64_t end, int endReason);
  void systemCall(uint64_t begin, uint64_t end, int number, const std::vector<uint64_t>& frames);

  // A "timeruser" session over the ticks given, begun at `begin` (UTC,
  // "2026-12-05 10:00:00" form) and lasting `micros`; thread and system-call
  // data only when something was archived for them.
  std::shared_ptr<QVSessionProfile> profile(uint64_t beginTick, uint64_t endTick, const std::string& begin,
                                            int64_t micros) const;

 private:
  QVContext context_;
  std::shared_ptr<QVUniqueCallStackTenureArchiver> samples_;
  std::shared_ptr<QVThreadTenureArchiver> runs_;
  std::shared_ptr<QVSystemCallTenureArchiver> calls_;
};

// The session the export formats are compared on, against checked-in files:
// the same input always gives the same samples, ticks and times.
class ExportSession {
 public:
  using Function = SyntheticSession::Function;

  struct Stack {
    std::vector<Function> frames;  // innermost first; empty for a sample without frames
    int count;                     // samples of this stack
  };

  // The golden session: main;parse;lex 3, main;parse 2, main;render;draw 4,
  // main;render 1, main 1 and one sample without frames: 12 samples.
  static std::vector<Stack> golden();

  // Writes the stacks in order, each sample 1 ms after the previous one
  // (ticks from 1 ms), from a 1 ms timer session that began at
  // 2026-12-05 10:00:00 UTC. With `tenures`, the thread also has one
  // running tenure per sample and one system call (number 1, "write")
  // every fourth sample, 100 us long.
  static void write(const std::string& path, const std::vector<Stack>& stacks, bool tenures = false);

  // The native ids of the process and thread the samples belong to.
  static int64_t processId();
  static int64_t threadId();
};

// A small session whose call tree is known:
//
//   6 samples  qv_known_outer -> qv_known_middle -> qv_known_hot
//   2 samples  qv_known_outer -> qv_known_middle -> qv_known_cold
//   2 samples  qv_known_outer -> qv_known_cold
//
// so qv_known_outer has 100% of the samples, qv_known_middle 80%,
// qv_known_hot 60% (all self) and qv_known_cold 40% (20% under each
// caller). All on the calling thread, one sample every millisecond from
// tick 1,000,000. With tenures, the thread also ran from 1 ms to 6 ms and
// from 8 ms to 11 ms, and spent 2 ms in one write(2); with metrics, three
// passes of the one-minute load average reading 0.5, 1.5 and 1.0.
class KnownSession {
 public:
  static constexpr uint64_t kSamples = 10;
  static constexpr uint64_t kFirstTick = 1000000;
  static constexpr uint64_t kTickStep = 1000000;

  // `samples` > 10 repeats the pattern above (a tenth of them as one
  // sample pattern each) for sessions of any size.
  static std::shared_ptr<QVSessionProfile> make(bool withTenuresAndMetrics, uint64_t samples = kSamples);
  static void write(const std::string& path, bool withTenuresAndMetrics, uint64_t samples = kSamples);
};

}  // namespace test
}  // namespace Quorvel
