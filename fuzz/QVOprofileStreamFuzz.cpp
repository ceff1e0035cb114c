// Feeds arbitrary bytes to the translation of oprofile's stream dialect in
// both word widths, and what it writes to the decoder that reads it next.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverSampleDecoder.h"
#include "Linux/oprofile/QVOprofileStreamTranslator.h"

using namespace Quorvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool is64 : {true, false}) {
    QVDriverBufferCursorMemory words(data, size / (is64 ? 8 : 4), is64);
    // Odd cookies place their offsets one page up; even ones cannot be placed.
    QVOprofileStreamTranslator translator(
        [](uint64_t, uint64_t cookie, uint64_t offset, uint64_t& address) {
          address = offset + 0x1000;
          return (cookie & 1) != 0;
        },
        [](uint64_t, uint64_t) {}, [](bool, const std::string&) {});
    QVDriverEventWriter out(is64);
    uint64_t processed = 0;
    translator.translate(words, is64, out, processed);
    QVDriverBufferCursorMemory translated(out.bytes().data(), out.recordCount(), is64);
    QVDriverSampleDecoder decoder(
        4, 1000000, [](QVDriverSampleDecoder::Level, const std::string&) {}, [](uint64_t, uint64_t) { return true; });
    uint64_t decoded = 0;
    decoder.decode(translated, is64, decoded);
    decoder.finish();
  }
  return 0;
}
