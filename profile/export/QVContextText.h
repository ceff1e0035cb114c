#pragma once

#include <cstdint>
#include <string>

namespace Quorvel {

class QVContext;
class QVProcessId;
class QVThreadId;

// Names and numbers of the threads and processes samples refer to, looked
// up in the registries that reading a session file filled.
class QVContextText {
 public:
  // The thread's name, else its process's name, else "[unknown]"; never
  // empty, though thread names may hold blanks.
  static std::string commandName(const QVThreadId& threadId);
  // The process's name, else "[unknown]".
  static std::string processName(const QVProcessId& processId);
  // The process's executable path, else "".
  static std::string processPath(const QVProcessId& processId);
  // The thread's own name, "" when it has none.
  static std::string threadName(const QVThreadId& threadId);
  // "[003]"; "[---]" for an unknown processor.
  static std::string processorText(int processorIndex);
  // "12.000345": seconds and microseconds of a nanosecond tick.
  static std::string tickText(uint64_t tick);
};

}  // namespace Quorvel
