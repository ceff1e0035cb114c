#include "Linux/driver/QVDriverChunkScan.h"

#include <sstream>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventScanner.h"

namespace Quorvel {

namespace {

std::string describe(const QVDriverStreamItem& item, bool inFrames) {
  std::ostringstream line;
  if (item.kind == QVDriverStreamItem::Entry) {
    line << (inFrames ? "] FRAME - pc:0x" : "] SAMPLE - pc:0x") << std::hex << item.first << " event:0x" << item.second;
    return line.str();
  }
  line << "] " << QVDriverEscapeCodeName(item.code);
  switch (item.code) {
    case OP_CTX_SWITCH_CODE:
      line << " - tid:" << item.first << " tgid/cookie:" << item.second;
      break;
    case OP_CPU_SWITCH_CODE:
      line << " - cpu:" << item.first;
      break;
    case OP_COOKIE_SWITCH_CODE:
      line << " - cookie:0x" << std::hex << item.first;
      break;
    case OP_CTX_TGID_CODE:
      line << " - tgid:" << item.first;
      break;
    case OP_DOMAIN_SWITCH_CODE:
      line << " - domain:" << item.first;
      break;
    case OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE:
    case OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE:
    case OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE:
    case OP_QV_SAMPLE_END_TIMESTAMP_CODE:
      line << " - timebase:0x" << std::hex << item.first;
      break;
    case OP_QV_ADAPT_SAMPLING_INTERVAL_CODE:
      line << " - factor:" << item.first;
      break;
    default:
      break;
  }
  return line.str();
}

}  // namespace

QVDriverChunkScan QVDriverChunkScan::scan(const void* words, uint64_t recordCount, bool is64,
                                          void (*traceSink)(const std::string&)) {
  enum class State { Normal, TraceBegun, Frames };
  QVDriverChunkScan result;
  QVDriverBufferCursorMemory cursor(words, recordCount, is64);
  QVDriverEventScanner scanner(cursor, is64);
  State state = State::Normal;
  QVDriverStreamItem item;
  while (scanner.next(item)) {
    if (traceSink) traceSink(describe(item, state == State::Frames));
    if (item.kind == QVDriverStreamItem::Entry) {
      if (state == State::Frames) continue;
      ++result.samples;
      if (state == State::TraceBegun) state = State::Frames;
      continue;
    }
    if (item.code == OP_TRACE_BEGIN_CODE) {
      state = State::TraceBegun;
    } else if (item.code == OP_TRACE_END_CODE) {
      state = State::Normal;
    } else if (item.code == OP_QV_ADAPT_SAMPLING_INTERVAL_CODE) {
      result.adaptSeen = true;
      result.adaptFactor = uint32_t(item.first);
    }
  }
  if (scanner.fault() != QVDriverStreamFault::None) {
    result.corrupt = true;
    result.fault = scanner.faultText();
    // A cut-off adapt notice still counts as a notice with factor 0.
    if (scanner.fault() == QVDriverStreamFault::UnterminatedPayload &&
        scanner.faultCode() == OP_QV_ADAPT_SAMPLING_INTERVAL_CODE) {
      result.adaptSeen = true;
      result.adaptFactor = 0;
    }
  }
  return result;
}

}  // namespace Quorvel
