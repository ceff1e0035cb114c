#include "Linux/driver/QVDriverEventScanner.h"

namespace Quorvel {

namespace {

/// Payload shape of a code: how many plain words, or a timestamp (one word in
/// 64-bit streams, two halves high first in 32-bit streams).
struct CodeInfo {
  uint64_t code;
  const char* name;
  int words;
  bool timestamp;
};

const CodeInfo kCodes[] = {
    {OP_CTX_SWITCH_CODE, "OP_CTX_SWITCH_CODE", 2, false},
    {OP_CPU_SWITCH_CODE, "OP_CPU_SWITCH_CODE", 1, false},
    {OP_COOKIE_SWITCH_CODE, "OP_COOKIE_SWITCH_CODE", 1, false},
    {OP_KERNEL_ENTER_SWITCH_CODE, "OP_KERNEL_ENTER_SWITCH_CODE", 0, false},
    {OP_KERNEL_EXIT_SWITCH_CODE, "OP_KERNEL_EXIT_SWITCH_CODE", 0, false},
    {OP_MODULE_LOADED_CODE, "OP_MODULE_LOADED_CODE", 0, false},
    {OP_CTX_TGID_CODE, "OP_CTX_TGID_CODE", 1, false},
    {OP_TRACE_BEGIN_CODE, "OP_TRACE_BEGIN_CODE", 0, false},
    {OP_TRACE_END_CODE, "OP_TRACE_END_CODE", 0, false},
    {OP_XEN_ENTER_SWITCH_CODE, "OP_XEN_ENTER_SWITCH_CODE", 0, false},
    {OP_DOMAIN_SWITCH_CODE, "OP_DOMAIN_SWITCH_CODE", 1, false},
    {OP_IBS_FETCH_SAMPLE, "OP_IBS_FETCH_SAMPLE", 0, false},
    {OP_IBS_OP_SAMPLE, "OP_IBS_OP_SAMPLE", 0, false},
    {OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE, "OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE", 0, true},
    {OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE, "OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE", 0, true},
    {OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, "OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE", 0, true},
    {OP_QV_SAMPLE_END_TIMESTAMP_CODE, "OP_QV_SAMPLE_END_TIMESTAMP_CODE", 0, true},
    {OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, "OP_QV_ADAPT_SAMPLING_INTERVAL_CODE", 1, false},
};

const CodeInfo* findCode(uint64_t code) {
  for (const CodeInfo& info : kCodes)
    if (info.code == code) return &info;
  return nullptr;
}

}  // namespace

uint64_t QVDriverEscapeMarker(bool is64) { return is64 ? ~uint64_t(0) : uint64_t(0xffffffffu); }

const char* QVDriverEscapeCodeName(uint64_t code) {
  const CodeInfo* info = findCode(code);
  return info ? info->name : nullptr;
}

QVDriverEventScanner::QVDriverEventScanner(QVDriverBufferCursorAbstract& cursor, bool is64)
    : cursor_(cursor), is64_(is64), escape_(QVDriverEscapeMarker(is64)) {}

bool QVDriverEventScanner::_fail(QVDriverStreamFault fault, uint64_t code) {
  fault_ = fault;
  faultCode_ = code;
  return false;
}

bool QVDriverEventScanner::next(QVDriverStreamItem& item) {
  if (fault_ != QVDriverStreamFault::None) return false;
  item = QVDriverStreamItem();
  item.startIndex = cursor_.index();
  uint64_t word;
  if (!cursor_.nextRecord(word)) return false;
  if (word != escape_) {
    item.kind = QVDriverStreamItem::Entry;
    item.first = word;
    if (!cursor_.nextRecord(item.second)) return _fail(QVDriverStreamFault::UnterminatedEntry, 0);
    return true;
  }
  uint64_t code;
  if (!cursor_.nextRecord(code)) return _fail(QVDriverStreamFault::UnterminatedEscape, 0);
  const CodeInfo* info = findCode(code);
  if (!info) return _fail(QVDriverStreamFault::UnknownCode, code);
  item.kind = QVDriverStreamItem::Control;
  item.code = code;
  if (info->timestamp) {
    uint64_t high;
    if (!cursor_.nextRecord(high)) return _fail(QVDriverStreamFault::UnterminatedPayload, code);
    if (is64_) {
      item.first = high;
    } else {
      uint64_t low;
      if (!cursor_.nextRecord(low)) return _fail(QVDriverStreamFault::UnterminatedPayload, code);
      item.first = (high << 32) | low;
    }
    return true;
  }
  if (info->words >= 1 && !cursor_.nextRecord(item.first)) return _fail(QVDriverStreamFault::UnterminatedPayload, code);
  if (info->words >= 2 && !cursor_.nextRecord(item.second))
    return _fail(QVDriverStreamFault::UnterminatedPayload, code);
  return true;
}

std::string QVDriverEventScanner::faultText() const {
  switch (fault_) {
    case QVDriverStreamFault::None:
      return std::string();
    case QVDriverStreamFault::UnterminatedEscape:
      return "buffer corrupted - unterminated escape code sequence";
    case QVDriverStreamFault::UnterminatedEntry:
      return "buffer corrupted - unterminated sample entry";
    case QVDriverStreamFault::UnterminatedPayload: {
      // The documented form drops the "OP_" prefix: "unterminated CTX_SWITCH_CODE".
      std::string name = QVDriverEscapeCodeName(faultCode_);
      if (name.compare(0, 3, "OP_") == 0) name.erase(0, 3);
      return "buffer corrupted - unterminated " + name;
    }
    case QVDriverStreamFault::UnknownCode:
      return "buffer corrupted (unknown escape code " + std::to_string(faultCode_) + ")";
  }
  return std::string();
}

}  // namespace Quorvel
