#include "export/QVContextText.h"

#include <cstdio>

#include "export/QVFrameText.h"
#include "ids/QVContext.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"

namespace Quorvel {
std::string QVContextText::threadName(const QVThreadId& threadId) {
  if (!threadId.isValid()) return std::string();
  const std::shared_ptr<QVThread>& thread = QVThread::threadWithId(threadId, false, false);
  return thread ? thread->name() : std::string();
}

std::string QVContextText::processName(const QVProcessId& processId) {
  if (!processId.isValid()) return QVFrameText::Unknown;
  const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(processId, false, false);
  if (!process || process->name().empty()) return QVFrameText::Unknown;
  return process->name();
}

std::string QVContextText::processPath(const QVProcessId& processId) {
  if (!processId.isValid()) return std::string();
  const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(processId, false, false);
  return process ? process->executablePath() : std::string();
}

std::string QVContextText::commandName(const QVThreadId& threadId) {
  const std::string name = threadName(threadId);
  if (!name.empty()) return name;
  return processName(threadId.isValid() ? threadId.asProcessId() : QVProcessId());
}

std::string QVContextText::processorText(int processorIndex) {
  if (processorIndex < 0) return "[---]";
  char text[24];
  std::snprintf(text, sizeof text, "[%03d]", processorIndex);
  return text;
}

std::string QVContextText::tickText(uint64_t tick) {
  char text[48];
  std::snprintf(text, sizeof text, "%llu.%06llu", static_cast<unsigned long long>(tick / 1000000000ull),
                static_cast<unsigned long long>((tick % 1000000000ull) / 1000ull));
  return text;
}

}  // namespace Quorvel
