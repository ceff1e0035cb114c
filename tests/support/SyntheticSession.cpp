#include "support/SyntheticSession.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <stdexcept>
#include <unordered_set>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "config/QVSessionConfig.h"
#include "Linux/process/QVProcessLinux.h"
#include "metrics/QVMetricData.h"
#include "metrics/QVMetricInfo.h"
#include "metrics/QVSessionDataMetrics.h"
#include "model/QVThread.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"

// Each function is its own symbol: kept out of line and given a body the
// compiler cannot fold into another's.
#define QV_SYNTHETIC_FUNCTION(name, step)                      \
  extern "C" __attribute__((noinline, used)) int name(int x) { \
    asm volatile("" ::: "memory");                             \
    return x + step;                                           \
  }
QV_SYNTHETIC_FUNCTION(qv_export_main, 1)
QV_SYNTHETIC_FUNCTION(qv_export_parse, 2)
QV_SYNTHETIC_FUNCTION(qv_export_lex, 3)
QV_SYNTHETIC_FUNCTION(qv_export_render, 4)
QV_SYNTHETIC_FUNCTION(qv_export_draw, 5)
QV_SYNTHETIC_FUNCTION(qv_known_outer, 6)
QV_SYNTHETIC_FUNCTION(qv_known_middle, 7)
QV_SYNTHETIC_FUNCTION(qv_known_hot, 8)
QV_SYNTHETIC_FUNCTION(qv_known_cold, 9)
#undef QV_SYNTHETIC_FUNCTION

namespace Quorvel {
namespace test {

namespace {

constexpr uint64_t kMillisecond = 1000000;

QVThreadId CallingThread() {
  const QVProcessId process = QVProcessLinux::updateProcessList(static_cast<int>(getpid()), true);
  std::unordered_set<QVThreadId> threads;
  QVThread::getThreadIdsForProcess(threads, process, false, true, false);
  for (const QVThreadId& id : threads) {
    if (id.nativeIdentifier() == static_cast<int64_t>(syscall(SYS_gettid))) return id;
  }
  throw std::runtime_error("the calling thread is not in the process model");
}

}  // namespace

SyntheticSession::SyntheticSession(int cpu)
    : context_(QVContext::uniqueContext(CallingThread(), cpu, QVContext::StateUser)),
      samples_(std::make_shared<QVUniqueCallStackTenureArchiver>()),
      runs_(std::make_shared<QVThreadTenureArchiver>()),
      calls_(std::make_shared<QVSystemCallTenureArchiver>()) {}

uint64_t SyntheticSession::inside(Function function) { return reinterpret_cast<uint64_t>(function) + 1; }

std::vector<uint64_t> SyntheticSession::inside(const std::vector<Function>& frames) {
  std::vector<uint64_t> addresses;
  for (Function frame : frames) addresses.push_back(inside(frame));
  return addresses;
}

void SyntheticSession::sample(uint64_t begin, uint64_t end, const std::vector<uint64_t>& frames) {
  samples_->archive(context_, begin, end, frames);
}

void SyntheticSession::run(uint64_t begin, uint64_t end, int endReason) {
  runs_->archive(context_, begin, end, static_cast<QVAbstractThreadTenure::EndReason>(endReason), 120);
}

void SyntheticSession::systemCall(uint64_t begin, uint64_t end, int number, const std::vector<uint64_t>& frames) {
  calls_->archive(context_, begin, end, number, frames);
}

std::shared_ptr<QVSessionProfile> SyntheticSession::profile(uint64_t beginTick, uint64_t endTick,
                                                            const std::string& begin, int64_t micros) const {
  const boost::posix_time::ptime start = boost::posix_time::time_from_string(begin);
  auto profile =
      std::make_shared<QVSessionProfile>(std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser), start,
                                         start + boost::posix_time::microseconds(micros), false, true);
  auto data = std::make_shared<QVSessionDataCallStackTenures>(samples_);
  data->setBeginTick(beginTick);
  data->setEndTick(endTick);
  profile->setCallStackData(data);
  if (runs_->size() > 0) profile->setThreadTenureData(std::make_shared<QVSessionDataThreadTenures>(runs_));
  if (calls_->size() > 0) profile->setSystemCallData(std::make_shared<QVSessionDataSystemCallTenures>(calls_));
  return profile;
}

std::vector<ExportSession::Stack> ExportSession::golden() {
  return {{{qv_export_lex, qv_export_parse, qv_export_main}, 3},
          {{qv_export_parse, qv_export_main}, 2},
          {{qv_export_draw, qv_export_render, qv_export_main}, 4},
          {{qv_export_render, qv_export_main}, 1},
          {{qv_export_main}, 1},
          {{}, 1}};
}

int64_t ExportSession::processId() { return static_cast<int64_t>(getpid()); }
int64_t ExportSession::threadId() { return static_cast<int64_t>(syscall(SYS_gettid)); }

void ExportSession::write(const std::string& path, const std::vector<Stack>& stacks, bool tenures) {
  SyntheticSession session;
  uint64_t tick = kMillisecond;
  size_t index = 0;
  for (const Stack& stack : stacks) {
    const std::vector<uint64_t> addresses = SyntheticSession::inside(stack.frames);
    for (int i = 0; i < stack.count; ++i, ++index, tick += kMillisecond) {
      session.sample(tick - kMillisecond, tick, addresses);
      if (!tenures) continue;
      session.run(tick - kMillisecond, tick, QVAbstractThreadTenure::EndReasonPreempted);
      if (index % 4 == 0) session.systemCall(tick - kMillisecond / 2, tick - kMillisecond / 2 + 100000, 1, addresses);
    }
  }
  QVSessionFile::write(*session.profile(0, tick, "2026-12-05 10:00:00.000000", static_cast<int64_t>(tick / 1000)),
                       path);
}

std::shared_ptr<QVSessionProfile> KnownSession::make(bool withTenuresAndMetrics, uint64_t samples) {
  SyntheticSession session;
  const std::vector<uint64_t> hot = SyntheticSession::inside({qv_known_hot, qv_known_middle, qv_known_outer});
  const std::vector<uint64_t> coldUnderMiddle =
      SyntheticSession::inside({qv_known_cold, qv_known_middle, qv_known_outer});
  const std::vector<uint64_t> coldUnderOuter = SyntheticSession::inside({qv_known_cold, qv_known_outer});
  const std::vector<const std::vector<uint64_t>*> pattern = {&hot, &hot, &coldUnderMiddle, &hot, &coldUnderOuter,
                                                             &hot, &coldUnderMiddle, &hot, &coldUnderOuter, &hot};
  uint64_t tick = kFirstTick;
  for (uint64_t i = 0; i < samples; ++i, tick += kTickStep) {
    session.sample(tick, tick + kTickStep, *pattern[(i * pattern.size() / samples) % pattern.size()]);
  }
  if (withTenuresAndMetrics) {
    session.run(1000000, 6000000, QVAbstractThreadTenure::EndReasonPreempted);
    session.run(8000000, 11000000, QVAbstractThreadTenure::EndReasonExit);
    session.systemCall(3000000, 5000000, 1 /* write */, coldUnderOuter);
  }
  auto profile = session.profile(kFirstTick, tick, "2026-12-06 08:00:00.000000", 12000);
  profile->mutableProperties().setString(QVSessionProfile::KeyProfileDriverName, "known session");
  if (!withTenuresAndMetrics) return profile;

  auto metrics = std::make_shared<QVSessionDataMetrics>();
  metrics->setInfos({std::make_shared<QVMetricInfo>(QVMetricInfo::SYSTEM, QVMetricInfo::METRIC_ID_SYSTEM_LOAD_AVG_1MIN,
                                                    QVMetricInfo::METRIC_GROUP_CPU, "Load average (1 min)",
                                                    "runnable tasks over the last minute", QVMetricInfo::NONE)});
  std::vector<std::shared_ptr<QVMetricData>> passes;
  const double loads[] = {0.5, 1.5, 1.0};
  for (int i = 0; i < 3; ++i) {
    auto pass = std::make_shared<QVMetricData>(QVRange<uint64_t>(kFirstTick + 4000000ull * i, 4000000));
    pass->addSystemSample(session.context().asSystemId())
        ->mutableMetricMap()
        .setFloat(QVMetricInfo::METRIC_ID_SYSTEM_LOAD_AVG_1MIN, loads[i]);
    passes.push_back(pass);
  }
  metrics->addPasses(passes);
  profile->setMetricData(metrics);
  return profile;
}

void KnownSession::write(const std::string& path, bool withTenuresAndMetrics, uint64_t samples) {
  QVSessionFile::write(*make(withTenuresAndMetrics, samples), path);
}

}  // namespace test
}  // namespace Quorvel
