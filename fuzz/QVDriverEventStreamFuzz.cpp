// Feeds arbitrary bytes to the event-stream scanner in both word widths,
// through the chunk accounting and a full item walk.
#include <cstddef>
#include <cstdint>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverEventScanner.h"

using namespace Quorvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (bool is64 : {true, false}) {
        uint64_t records = size / (is64 ? 8 : 4);
        QVDriverChunkScan::scan(data, records, is64);
        QVDriverBufferCursorMemory cursor(data, records, is64);
        QVDriverEventScanner scanner(cursor, is64);
        QVDriverStreamItem item;
        while (scanner.next(item)) {
        }
        (void)scanner.faultText();
    }
    return 0;
}
