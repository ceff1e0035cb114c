// Feeds arbitrary bytes to the event-stream readers in both word widths: the
// scanner's item walk, the reading thread's chunk accounting and the
// sampler's decoding into samples.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverSampleDecoder.h"

using namespace Quorvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool is64 : {true, false}) {
    const uint64_t records = size / (is64 ? 8 : 4);
    QVDriverChunkScan::scan(data, records, is64);
    QVDriverBufferCursorMemory cursor(data, records, is64);
    QVDriverEventScanner scanner(cursor, is64);
    QVDriverStreamItem item;
    while (scanner.next(item)) {
    }
    (void)scanner.faultText();

    cursor.rewind();
    // Four processors and odd thread ids keep both filter answers in play.
    QVDriverSampleDecoder decoder(
        4, 1000, [](QVDriverSampleDecoder::Level, const std::string&) {},
        [](uint64_t, uint64_t tid) { return (tid & 1) != 0; });
    uint64_t processed = 0;
    decoder.decode(cursor, is64, processed);
    decoder.finish();
  }
  return 0;
}
