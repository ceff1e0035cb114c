// Feeds arbitrary bytes to the task-exit stream parser in both word widths.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/notify/QVTaskExitStream.h"

using namespace Quorvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool is64 : {true, false}) {
    QVDriverBufferCursorMemory cursor(data, size / (is64 ? 8 : 4), is64);
    QVTaskExitStreamParser parser(cursor, is64, [](const std::string&) {});
    QVTaskExitRecord record;
    while (parser.next(record)) {
    }
  }
  return 0;
}
