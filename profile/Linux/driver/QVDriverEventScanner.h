#pragma once

#include <cstdint>
#include <string>

#include "Linux/driver/QVDriverBufferCursor.h"

namespace Quorvel {

/// The escape codes of the driver event stream.
enum QVDriverEscapeCode : uint64_t {
  OP_CTX_SWITCH_CODE = 1,
  OP_CPU_SWITCH_CODE = 2,
  OP_COOKIE_SWITCH_CODE = 3,
  OP_KERNEL_ENTER_SWITCH_CODE = 4,
  OP_KERNEL_EXIT_SWITCH_CODE = 5,
  OP_MODULE_LOADED_CODE = 6,
  OP_CTX_TGID_CODE = 7,
  OP_TRACE_BEGIN_CODE = 8,
  OP_TRACE_END_CODE = 9,
  OP_XEN_ENTER_SWITCH_CODE = 10,
  OP_DOMAIN_SWITCH_CODE = 11,
  OP_IBS_FETCH_SAMPLE = 13,
  OP_IBS_OP_SAMPLE = 14,
  OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE = 100,
  OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE = 101,
  OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE = 102,
  OP_QV_SAMPLE_END_TIMESTAMP_CODE = 103,
  OP_QV_ADAPT_SAMPLING_INTERVAL_CODE = 104,
};

/// The escape marker: a word with all bits set in the stream's width.
uint64_t QVDriverEscapeMarker(bool is64);

/// The code's name as the stream documents it ("OP_CTX_SWITCH_CODE"), or
/// null for a code the stream does not define.
const char* QVDriverEscapeCodeName(uint64_t code);

/// One item of the stream: a two-word entry or a control record.
struct QVDriverStreamItem {
  enum Kind { Entry, Control };
  Kind kind = Entry;
  uint64_t code = 0;        ///< control records only
  uint64_t first = 0;       ///< entry: program counter; control: first payload value (a timestamp whole)
  uint64_t second = 0;      ///< entry: event word; control: second payload value
  uint64_t startIndex = 0;  ///< word index at which the item begins
};

/// Why a scan stopped before the end of the words.
enum class QVDriverStreamFault {
  None,
  UnterminatedEscape,   ///< the escape marker was the last word
  UnterminatedPayload,  ///< the chunk ended inside a control record's payload
  UnterminatedEntry,    ///< the chunk ended after the first word of an entry
  UnknownCode,          ///< an escape code the stream does not define
};

/// Splits a cursor's words into entries and control records. The only reader
/// of event-stream words: every consumer (chunk accounting, decoding, fuzzing)
/// goes through it, so the format is bound-checked in one place.
class QVDriverEventScanner {
 public:
  QVDriverEventScanner(QVDriverBufferCursorAbstract& cursor, bool is64);

  /// The next item; false at the end of the words or at a fault (see fault()).
  bool next(QVDriverStreamItem& item);

  QVDriverStreamFault fault() const { return fault_; }
  /// The code of the record that faulted (UnterminatedPayload, UnknownCode).
  uint64_t faultCode() const { return faultCode_; }
  /// One line naming the fault as the event buffers log it, e.g.
  /// "buffer corrupted - unterminated CTX_SWITCH_CODE".
  std::string faultText() const;

 private:
  bool _fail(QVDriverStreamFault fault, uint64_t code);

  QVDriverBufferCursorAbstract& cursor_;
  bool is64_;
  uint64_t escape_;
  QVDriverStreamFault fault_ = QVDriverStreamFault::None;
  uint64_t faultCode_ = 0;
};

}  // namespace Quorvel
