#include "support/KnownSession.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <stdexcept>
#include <unordered_set>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "config/QVSessionConfig.h"
#include "ids/QVContext.h"
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

// The functions the known session's frames point into.
extern "C" __attribute__((noinline, used)) int qv_known_outer(int x) {
  asm volatile("" ::: "memory");
  return x + 1;
}
extern "C" __attribute__((noinline, used)) int qv_known_middle(int x) {
  asm volatile("" ::: "memory");
  return x + 2;
}
extern "C" __attribute__((noinline, used)) int qv_known_hot(int x) {
  asm volatile("" ::: "memory");
  return x + 3;
}
extern "C" __attribute__((noinline, used)) int qv_known_cold(int x) {
  asm volatile("" ::: "memory");
  return x + 4;
}

namespace Quorvel {
namespace test {

namespace {

// One byte into the function, as a return address would be.
uint64_t inside(int (*function)(int)) { return reinterpret_cast<uint64_t>(function) + 1; }

QVThreadId callingThread() {
  const QVProcessId process = QVProcessLinux::updateProcessList(static_cast<int>(getpid()), true);
  if (!process.isValid()) throw std::runtime_error("this process is not in the process list");
  std::unordered_set<QVThreadId> threads;
  QVThread::getThreadIdsForProcess(threads, process, false, true, false);
  for (const QVThreadId& id : threads) {
    if (id.nativeIdentifier() == static_cast<int64_t>(syscall(SYS_gettid))) return id;
  }
  throw std::runtime_error("the calling thread is not in the process model");
}

}  // namespace

std::shared_ptr<QVSessionProfile> KnownSession::make(bool withTenuresAndMetrics, uint64_t samples) {
  const QVContext context = QVContext::uniqueContext(callingThread(), 1, QVContext::StateUser);
  const std::vector<uint64_t> hot = {inside(qv_known_hot), inside(qv_known_middle), inside(qv_known_outer)};
  const std::vector<uint64_t> coldUnderMiddle = {inside(qv_known_cold), inside(qv_known_middle),
                                                 inside(qv_known_outer)};
  const std::vector<uint64_t> coldUnderOuter = {inside(qv_known_cold), inside(qv_known_outer)};
  const std::vector<const std::vector<uint64_t>*> pattern = {&hot, &hot, &coldUnderMiddle, &hot, &coldUnderOuter,
                                                             &hot, &coldUnderMiddle, &hot, &coldUnderOuter, &hot};
  auto stacks = std::make_shared<QVUniqueCallStackTenureArchiver>();
  uint64_t tick = kFirstTick;
  for (uint64_t i = 0; i < samples; ++i, tick += kTickStep) {
    stacks->archive(context, tick, tick + kTickStep, *pattern[(i * pattern.size() / samples) % pattern.size()]);
  }
  auto data = std::make_shared<QVSessionDataCallStackTenures>(stacks);
  data->setBeginTick(kFirstTick);
  data->setEndTick(tick);

  auto profile = std::make_shared<QVSessionProfile>(
      std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser),
      boost::posix_time::time_from_string("2026-12-06 08:00:00.000000"),
      boost::posix_time::time_from_string("2026-12-06 08:00:00.012000"), false, true);
  profile->setCallStackData(data);
  profile->mutableProperties().setString(QVSessionProfile::KeyProfileDriverName, "known session");
  if (!withTenuresAndMetrics) return profile;

  auto tenures = std::make_shared<QVThreadTenureArchiver>();
  tenures->archive(context, 1000000, 6000000, QVAbstractThreadTenure::EndReasonPreempted, 120);
  tenures->archive(context, 8000000, 11000000, QVAbstractThreadTenure::EndReasonExit, 120);
  profile->setThreadTenureData(std::make_shared<QVSessionDataThreadTenures>(tenures));
  auto calls = std::make_shared<QVSystemCallTenureArchiver>();
  calls->archive(context, 3000000, 5000000, 1 /* write */, coldUnderOuter);
  profile->setSystemCallData(std::make_shared<QVSessionDataSystemCallTenures>(calls));

  auto metrics = std::make_shared<QVSessionDataMetrics>();
  metrics->setInfos({std::make_shared<QVMetricInfo>(QVMetricInfo::SYSTEM, QVMetricInfo::METRIC_ID_SYSTEM_LOAD_AVG_1MIN,
                                                    QVMetricInfo::METRIC_GROUP_CPU, "Load average (1 min)",
                                                    "runnable tasks over the last minute", QVMetricInfo::NONE)});
  std::vector<std::shared_ptr<QVMetricData>> passes;
  const double loads[] = {0.5, 1.5, 1.0};
  for (int i = 0; i < 3; ++i) {
    auto pass = std::make_shared<QVMetricData>(QVRange<uint64_t>(kFirstTick + 4000000ull * i, 4000000));
    pass->addSystemSample(context.asSystemId())
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
