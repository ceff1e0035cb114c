#include "ScriptCommand.h"

#include <functional>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "export/QVContextText.h"
#include "export/QVFrameText.h"
#include "ids/QVContext.h"
#include "LogOptions.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {
namespace qvprof {

Arguments ScriptCommand::arguments() const {
  Arguments arguments(name(),
                      "Prints every call-stack sample of a session file, one block per sample in time\n"
                      "order: a header line \"COMM PID/TID [CPU] SECONDS.MICROSECONDS\", one line per\n"
                      "frame, innermost first, \"<TAB>ADDRESS SYMBOL+0xOFFSET (MODULE)\" (the address in\n"
                      "hexadecimal; [unknown] where a symbol or module is not known), then a blank line.",
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
    out << QVContextText::commandName(threadId) << ' ' << context.asProcessId().nativeIdentifier() << '/'
        << threadId.nativeIdentifier() << ' ' << QVContextText::processorText(context.processorIndex()) << ' '
        << QVContextText::tickText(sample->endTick()) << '\n';
    sample->getFrames(frames);
    const QVSymbolSource* source = sample->symbolSource();
    for (const QVAbstractCallFrame* frame : frames) {
      if (!frame) continue;
      auto found = lines.find(FrameKey{source, frame->address()});
      if (found == lines.end()) {
        found = lines.emplace(FrameKey{source, frame->address()}, QVFrameText::scriptLine(*frame)).first;
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
