#include "SpeedscopeExport.h"

#include <functional>
#include <map>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "FrameKey.h"
#include "export/QVContextText.h"
#include "export/QVFrameText.h"
#include "ids/QVContext.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "speedscope/QVSpeedscopeFile.h"

namespace Quorvel {
namespace qvprof {

const char* const SpeedscopeExport::FormatName = "speedscope";

bool SpeedscopeExport::write(std::ostream& out, const SessionSamples& session, const QVSampleFilter& filter,
                             const std::string& name) {
  // Per thread in native id order; distinct ids that share a native id (a
  // reused tid) stay apart.
  std::map<std::pair<int64_t, QVThreadId>, std::vector<const QVAbstractCallStackTenure*>> threads;
  for (const auto& sample : session.inTimeOrder()) {
    if (!filter.accepts(sample->context())) continue;
    const QVThreadId threadId = sample->context().threadId();
    threads[{threadId.nativeIdentifier(), threadId}].push_back(sample.get());
  }
  if (threads.empty()) return false;

  QVSpeedscopeFile file(name);
  // Each address of each process is resolved once: resolving walks the
  // process's section and symbol maps.
  std::unordered_map<FrameKey, uint32_t, FrameKeyHash> indices;
  std::vector<const QVAbstractCallFrame*> frames;
  std::vector<uint32_t> stack;
  for (const auto& thread : threads) {
    const QVAbstractCallStackTenure& any = *thread.second.front();
    file.beginProfile(QVContextText::commandName(thread.first.second) + " (" +
                      std::to_string(any.context().asProcessId().nativeIdentifier()) + "/" +
                      std::to_string(thread.first.first) + ")");
    for (const QVAbstractCallStackTenure* sample : thread.second) {
      sample->getFrames(frames);
      stack.clear();
      // Frames come innermost first; speedscope wants the outermost first.
      for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        if (!*it) continue;
        const FrameKey key{sample->symbolSource(), (*it)->address()};
        auto found = indices.find(key);
        if (found == indices.end()) {
          std::string symbol = QVFrameText::symbolName(**it);
          if (symbol == QVFrameText::Unknown) symbol += " 0x" + QVFrameText::hex((*it)->address());
          const std::string module = QVFrameText::modulePath(**it);
          found = indices.emplace(key, file.frameIndex({symbol, module == QVFrameText::Unknown ? "" : module})).first;
        }
        stack.push_back(found->second);
      }
      file.addSample(stack);
    }
  }
  file.write(out);
  return true;
}

}  // namespace qvprof
}  // namespace Quorvel
