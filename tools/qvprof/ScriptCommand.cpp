#include "ScriptCommand.h"

#include <functional>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "ContextText.h"
#include "FrameText.h"
#include "ids/QVContext.h"
#include "LogOptions.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {
namespace qvprof {

Arguments ScriptCommand::arguments() const {
  Arguments arguments(name(),
                      "Prints every call-stack sample of a session file, one block per sample in time\n"
                      "order: a header line \"COMM PID/TID [CPU] SECONDS.MICROSECONDS\", followed, when the\n"
                      "session has them, by the thread's scheduler state (running, sleeping, disk, ...)\n"
                      "and \"cpu=MICROSECONDSus\", the CPU time it used since its previous sample; one\n"
                      "line per frame, innermost first, \"<TAB>ADDRESS SYMBOL+0xOFFSET (MODULE)\" (the\n"
                      "address in hexadecimal; [unknown] where a symbol or module is not known), then a\n"
                      "blank line. CPU is the processor the thread last ran on.",
                      LogOptions::options(), "FILE", 1, 1);
  return arguments;
}

namespace {

struct FrameKey {
  const QVSymbolSource* source;
  uint64_t address;
  bool operator==(const FrameKey& other) const { return source == other.source && address == other.address; }
};

struct FrameKeyHash {
  size_t operator()(const FrameKey& key) const {
    return std::hash<const void*>()(key.source) ^ (std::hash<uint64_t>()(key.address) * 0x9e3779b97f4a7c15ull);
  }
};

}  // namespace

void ScriptCommand::writeScript(std::ostream& out, const SessionSamples& session) {
  std::vector<const QVAbstractCallFrame*> frames;
  // Sessions repeat a few thousand addresses over millions of frames, and
  // resolving one walks the process's section and symbol maps: each
  // address of each process is resolved once.
  std::unordered_map<FrameKey, std::string, FrameKeyHash> lines;
  for (const auto& sample : session.inTimeOrder()) {
    const QVContext& context = sample->context();
    const QVThreadId threadId = context.threadId();
    out << ContextText::commandName(threadId) << ' ' << context.asProcessId().nativeIdentifier() << '/'
        << threadId.nativeIdentifier() << ' ' << ContextText::processorText(context.processorIndex()) << ' '
        << ContextText::tickText(sample->endTick());
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
        found = lines.emplace(key, FrameText::scriptLine(*frame)).first;
      }
      out << found->second << '\n';
    }
    out << '\n';
  }
}

int ScriptCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& /*err*/) {
  const SessionSamples session(arguments.operands().front());
  writeScript(out, session);
  out.flush();
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
