#include "support/ExportSession.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <unordered_set>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "config/QVSessionConfig.h"
#include "ids/QVContext.h"
#include "Linux/process/QVProcessLinux.h"
#include "model/QVThread.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"

extern "C" __attribute__((noinline, used)) int qv_export_main(int x) {
  asm volatile("" ::: "memory");
  return x + 1;
}
extern "C" __attribute__((noinline, used)) int qv_export_parse(int x) {
  asm volatile("" ::: "memory");
  return x + 2;
}
extern "C" __attribute__((noinline, used)) int qv_export_lex(int x) {
  asm volatile("" ::: "memory");
  return x + 3;
}
extern "C" __attribute__((noinline, used)) int qv_export_render(int x) {
  asm volatile("" ::: "memory");
  return x + 4;
}
extern "C" __attribute__((noinline, used)) int qv_export_draw(int x) {
  asm volatile("" ::: "memory");
  return x + 5;
}

namespace Quorvel {
namespace test {

namespace {

constexpr uint64_t kMillisecond = 1000000;

QVThreadId OwnThread() {
  const QVProcessId process = QVProcessLinux::updateProcessList(static_cast<int>(getpid()), true);
  std::unordered_set<QVThreadId> threads;
  QVThread::getThreadIdsForProcess(threads, process, false, true, false);
  for (const QVThreadId& id : threads) {
    if (id.nativeIdentifier() == static_cast<int64_t>(syscall(SYS_gettid))) return id;
  }
  throw std::runtime_error("the calling thread is not in the process model");
}

}  // namespace

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
  const QVContext context = QVContext::uniqueContext(OwnThread(), 1, QVContext::StateUser);
  auto samples = std::make_shared<QVUniqueCallStackTenureArchiver>();
  auto slices = std::make_shared<QVThreadTenureArchiver>();
  auto calls = std::make_shared<QVSystemCallTenureArchiver>();
  uint64_t tick = kMillisecond;
  size_t index = 0;
  for (const Stack& stack : stacks) {
    // One byte into each function, so the address is inside its symbol.
    std::vector<uint64_t> addresses;
    for (Function frame : stack.frames) addresses.push_back(reinterpret_cast<uint64_t>(frame) + 1);
    for (int i = 0; i < stack.count; ++i, ++index, tick += kMillisecond) {
      samples->archive(context, tick - kMillisecond, tick, addresses);
      if (!tenures) continue;
      slices->archive(context, tick - kMillisecond, tick, QVAbstractThreadTenure::EndReasonPreempted, 120);
      if (index % 4 == 0) calls->archive(context, tick - kMillisecond / 2, tick - kMillisecond / 2 + 100000, 1, addresses);
    }
  }
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser);
  auto profile = std::make_shared<QVSessionProfile>(
      config, boost::posix_time::time_from_string("2026-12-05 10:00:00.000000"),
      boost::posix_time::time_from_string("2026-12-05 10:00:00.000000") +
          boost::posix_time::microseconds(static_cast<int64_t>(tick / 1000)),
      false, true);
  auto data = std::make_shared<QVSessionDataCallStackTenures>(samples);
  data->setBeginTick(0);
  data->setEndTick(tick);
  profile->setCallStackData(data);
  if (tenures) {
    profile->setThreadTenureData(std::make_shared<QVSessionDataThreadTenures>(slices));
    profile->setSystemCallData(std::make_shared<QVSessionDataSystemCallTenures>(calls));
  }
  QVSessionFile::write(*profile, path);
}

}  // namespace test
}  // namespace Quorvel
