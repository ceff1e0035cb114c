#include "ScriptCommand.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "FrameKey.h"
#include "export/QVContextText.h"
#include "export/QVFrameText.h"
#include "ids/QVContext.h"
#include "LogOptions.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "samples/QVAbstractThreadTenure.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "SyscallNames.h"

namespace Quorvel {
namespace qvprof {

namespace {

std::vector<Option> options() {
  std::vector<Option> options = {
      {"process", 0, "PID", "only this process (default: the one a perf recording ran or named)"},
      {"all-processes", 0, "", "every process of a perf recording"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  return options;
}

}  // namespace

Arguments ScriptCommand::arguments() const {
  Arguments arguments(name(),
                      "Prints every call-stack sample of a session file, one block per sample in time\n"
                      "order: a header line \"COMM PID/TID [CPU] SECONDS.MICROSECONDS\", followed, when the\n"
                      "session has them, by the thread's scheduler state (running, sleeping, disk, ...)\n"
                      "and \"cpu=MICROSECONDSus\", the CPU time it used since its previous sample; one\n"
                      "line per frame, innermost first, \"<TAB>ADDRESS SYMBOL+0xOFFSET (MODULE)\" (the\n"
                      "address in hexadecimal; [unknown] where a symbol or module is not known), then a\n"
                      "blank line. CPU is the processor the thread last ran on. Scheduler and\n"
                      "system-call traces add one line per thread run and system call, at the time it\n"
                      "ended.",
                      options(), "FILE", 1, 1);
  return arguments;
}

void ScriptCommand::writeScript(std::ostream& out, const SessionSamples& session, int64_t processId) {
  std::vector<const QVAbstractCallFrame*> frames;
  // Sessions repeat a few thousand addresses over millions of frames, and
  // resolving one walks the process's section and symbol maps: each
  // address of each process is resolved once.
  std::unordered_map<FrameKey, std::string, FrameKeyHash> lines;
  const auto kept = [processId](const QVContext& context) {
    return processId < 0 || context.asProcessId().nativeIdentifier() == processId;
  };
  const auto header = [&out](const QVContext& context, uint64_t tick) {
    const QVThreadId threadId = context.threadId();
    out << QVContextText::commandName(threadId) << ' ' << context.asProcessId().nativeIdentifier() << '/'
        << threadId.nativeIdentifier() << ' ' << QVContextText::processorText(context.processorIndex()) << ' '
        << QVContextText::tickText(tick);
  };

  // The three kinds merge by the tick each ended; equal ticks keep the
  // order samples, thread runs, system calls.
  struct Event {
    uint64_t tick;
    int kind;
    size_t index;
  };
  std::vector<Event> events;
  const SessionSamples::SampleList samples = session.inTimeOrder();
  for (size_t i = 0; i < samples.size(); ++i) {
    if (kept(samples[i]->context())) events.push_back({samples[i]->endTick(), 0, i});
  }
  const QVSessionProfile& profile = *session.profile();
  const auto threadData = profile.threadTenureData();
  const auto callData = profile.systemCallData();
  if (threadData) {
    const auto& runs = threadData->samples();
    for (size_t i = 0; i < runs.size(); ++i) {
      if (runs[i] && kept(runs[i]->context())) events.push_back({runs[i]->endTick(), 1, i});
    }
  }
  if (callData) {
    const auto& calls = callData->samples();
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i] && kept(calls[i]->context())) events.push_back({calls[i]->endTick(), 2, i});
    }
  }
  std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
    return a.tick != b.tick ? a.tick < b.tick : a.kind < b.kind;
  });

  const SyscallNames& names = SyscallNames::machine();
  char text[96];
  for (const Event& event : events) {
    if (event.kind == 1) {
      const auto& run = threadData->samples()[event.index];
      header(run->context(), run->endTick());
      std::snprintf(text, sizeof text, ": sched: ran %.3f ms, then ", static_cast<double>(run->durationTicks()) / 1e6);
      out << text << QVAbstractThreadTenure::endReasonDescription(run->endReason()) << '\n';
      continue;
    }
    if (event.kind == 2) {
      const auto& call = callData->samples()[event.index];
      header(call->context(), call->endTick());
      std::snprintf(text, sizeof text, " = %lld, %.3f ms", static_cast<long long>(call->result()),
                    static_cast<double>(call->durationTicks()) / 1e6);
      out << ": syscall " << names.name(call->number()) << '(' << call->number() << ')' << text << '\n';
      continue;
    }
    const auto& sample = samples[event.index];
    header(sample->context(), sample->endTick());
    if (sample->schedulerState() != '\0') {
      out << ' ' << QVAbstractCallStackTenure::schedulerStateName(sample->schedulerState());
    }
    if (sample->cpuTimeNanos() >= 0) out << " cpu=" << sample->cpuTimeNanos() / 1000 << "us";
    out << '\n';
    sample->getFrames(frames);
    const QVSymbolSource* source = sample->symbolSource();
    for (const QVAbstractCallFrame* frame : frames) {
      if (!frame) continue;
      // A caller resolves at its address minus one: the same address may
      // name another function as a caller than as the innermost frame.
      const FrameKey key{source, frame->lookupAddress()};
      auto found = lines.find(key);
      if (found == lines.end()) {
        found = lines.emplace(key, QVFrameText::scriptLine(*frame)).first;
      }
      out << found->second << '\n';
    }
    out << '\n';
  }
}

int ScriptCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& /*err*/) {
  const SessionSamples session(arguments.operands().front());
  int64_t processId = -1;
  if (arguments.has("process")) {
    processId = static_cast<int64_t>(arguments.integer("process", 0, 0, 4194304));
  } else if (!arguments.has("all-processes")) {
    processId = SessionSamples::focusProcess(*session.profile());
  }
  writeScript(out, session, processId);
  out.flush();
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
