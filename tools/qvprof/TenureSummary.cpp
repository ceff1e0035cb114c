#include "TenureSummary.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <unordered_map>

#include "export/QVContextText.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "samples/QVAbstractThreadTenure.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "SyscallNames.h"

namespace Quorvel {
namespace qvprof {

namespace {

bool kept(const QVContext& context, int64_t processId) {
  return processId < 0 || context.asProcessId().nativeIdentifier() == processId;
}

std::string milliseconds(uint64_t ticks) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ticks) / 1e6);
  return text;
}

std::string threadText(const QVThreadId& threadId) {
  return QVContextText::commandName(threadId) + " " + std::to_string(threadId.asProcessId().nativeIdentifier()) + "/" +
         std::to_string(threadId.nativeIdentifier());
}

}  // namespace

std::vector<TenureSummary::ThreadOffCpu> TenureSummary::offCpu(const QVSessionProfile& profile, int64_t processId) {
  std::vector<ThreadOffCpu> result;
  const std::shared_ptr<QVSessionDataThreadTenures> data = profile.threadTenureData();
  if (!data) return result;
  std::unordered_map<QVThreadId, std::vector<const QVAbstractThreadTenure*>> runs;
  for (const auto& tenure : data->samples()) {
    if (!tenure || !kept(tenure->context(), processId)) continue;
    const QVThreadId threadId = tenure->context().threadId();
    // The idle task runs when nothing else does; its gaps are busy time.
    if (threadId.nativeIdentifier() == 0) continue;
    runs[threadId].push_back(tenure.get());
  }
  for (auto& entry : runs) {
    auto& list = entry.second;
    std::sort(list.begin(), list.end(), [](const QVAbstractThreadTenure* a, const QVAbstractThreadTenure* b) {
      return a->beginTick() != b->beginTick() ? a->beginTick() < b->beginTick() : a->endTick() < b->endTick();
    });
    ThreadOffCpu summary;
    summary.threadId = entry.first;
    for (size_t i = 0; i + 1 < list.size(); ++i) {
      const uint64_t end = list[i]->endTick(), next = list[i + 1]->beginTick();
      ++summary.switches;
      if (next <= end) continue;
      const unsigned reason = static_cast<unsigned>(list[i]->endReason()) < 5 ? static_cast<unsigned>(list[i]->endReason()) : 0u;
      summary.byReason[reason] += next - end;
      summary.total += next - end;
    }
    result.push_back(summary);
  }
  std::sort(result.begin(), result.end(), [](const ThreadOffCpu& a, const ThreadOffCpu& b) {
    if (a.total != b.total) return a.total > b.total;
    return a.threadId.nativeIdentifier() < b.threadId.nativeIdentifier();
  });
  return result;
}

std::vector<TenureSummary::SystemCallStats> TenureSummary::systemCalls(const QVSessionProfile& profile,
                                                                       int64_t processId) {
  std::map<int, SystemCallStats> byNumber;
  if (const std::shared_ptr<QVSessionDataSystemCallTenures> data = profile.systemCallData()) {
    for (const auto& tenure : data->samples()) {
      if (!tenure || !kept(tenure->context(), processId)) continue;
      SystemCallStats& stats = byNumber[tenure->number()];
      stats.number = tenure->number();
      ++stats.calls;
      stats.totalTicks += tenure->durationTicks();
      const int64_t result = static_cast<int64_t>(tenure->result());
      if (result < 0 && result >= -4095) ++stats.errors;
    }
  }
  std::vector<SystemCallStats> result;
  for (const auto& entry : byNumber) result.push_back(entry.second);
  std::stable_sort(result.begin(), result.end(), [](const SystemCallStats& a, const SystemCallStats& b) {
    return a.totalTicks > b.totalTicks;
  });
  return result;
}

bool TenureSummary::writeOffCpu(std::ostream& out, const QVSessionProfile& profile, int64_t processId,
                                size_t maxRows) {
  const std::vector<ThreadOffCpu> threads = offCpu(profile, processId);
  if (threads.empty()) return false;
  out << "Off-CPU time by thread (scheduler trace), heaviest first:\n"
      << "  Off-CPU ms    Sleep ms  Preempted ms   Other ms  Switches  Thread\n";
  size_t shown = 0;
  for (const ThreadOffCpu& thread : threads) {
    if (shown++ == maxRows) break;
    const uint64_t other = thread.byReason[QVAbstractThreadTenure::EndReasonUnknown] +
                           thread.byReason[QVAbstractThreadTenure::EndReasonYield] +
                           thread.byReason[QVAbstractThreadTenure::EndReasonExit];
    char line[160];
    std::snprintf(line, sizeof line, "%12s %11s %13s %10s %9llu  ", milliseconds(thread.total).c_str(),
                  milliseconds(thread.byReason[QVAbstractThreadTenure::EndReasonSleep]).c_str(),
                  milliseconds(thread.byReason[QVAbstractThreadTenure::EndReasonPreempted]).c_str(),
                  milliseconds(other).c_str(), static_cast<unsigned long long>(thread.switches));
    out << line << threadText(thread.threadId) << '\n';
  }
  if (threads.size() > maxRows) out << "  (" << threads.size() - maxRows << " more threads)\n";
  return true;
}

bool TenureSummary::writeSystemCalls(std::ostream& out, const QVSessionProfile& profile, int64_t processId,
                                     const SyscallNames& names, size_t maxRows) {
  const std::vector<SystemCallStats> calls = systemCalls(profile, processId);
  if (calls.empty()) return false;
  out << "System calls (system-call trace), most time first:\n"
      << "      Calls    Total ms       Mean us    Errors  Name\n";
  size_t shown = 0;
  for (const SystemCallStats& call : calls) {
    if (shown++ == maxRows) break;
    char line[160];
    std::snprintf(line, sizeof line, "%11llu %11s %13.3f %9llu  ", static_cast<unsigned long long>(call.calls),
                  milliseconds(call.totalTicks).c_str(),
                  static_cast<double>(call.totalTicks) / 1e3 / static_cast<double>(call.calls),
                  static_cast<unsigned long long>(call.errors));
    out << line << names.name(call.number) << '\n';
  }
  if (calls.size() > maxRows) out << "  (" << calls.size() - maxRows << " more system calls)\n";
  return true;
}

}  // namespace qvprof
}  // namespace Quorvel
