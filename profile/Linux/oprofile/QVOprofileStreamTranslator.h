#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventWriter.h"

namespace Quorvel {

/// oprofile's cookie for "no file": the offset is a plain address.
constexpr uint64_t kOprofileNoCookie = 0;

/// Rewrites oprofile's dialect of the driver event stream into the form the
/// driver-buffer decoder reads, so both back-ends share one decoder:
///
/// - "OP_CTX_SWITCH_CODE" carries the thread and the application's cookie,
///   "OP_CTX_TGID_CODE" the thread group that follows; together they become
///   one context switch with thread and thread group.
/// - "OP_COOKIE_SWITCH_CODE" names the file that the following user-mode
///   sample offsets are offsets into; each such offset is placed at its
///   address in the thread group (locate) or, where it cannot be, dropped.
///   Under no cookie or the all-ones one an offset is an address already.
/// - Kernel-mode samples are addresses; processor, mode and trace records
///   pass through; Xen, domain and IBS markers carry nothing the decoder
///   uses and are left out.
///
/// A sample that cannot be placed takes its call-stack frames with it; a
/// frame that cannot be placed is left out of its stack.
class QVOprofileStreamTranslator {
 public:
  /// The address of a sample offset under a cookie in a thread group;
  /// false when the offset cannot be placed.
  using Locate = std::function<bool(uint64_t tgid, uint64_t cookie, uint64_t offset, uint64_t& address)>;
  /// The stream switched to a thread of a thread group.
  using Context = std::function<void(uint64_t tgid, uint64_t tid)>;
  /// One line of debug output (the decoding's own) or of warning.
  using Log = std::function<void(bool warning, const std::string& line)>;

  QVOprofileStreamTranslator(Locate locate, Context context, Log log);

  /// Translates the words of one file buffer into out (which must have
  /// the same width). False when the words end in a fault; what came
  /// before it is in out. processed: words consumed.
  bool translate(QVDriverBufferCursorAbstract& words, bool is64, QVDriverEventWriter& out, uint64_t& processed);

  /// Samples left out because their offset could not be placed.
  uint64_t droppedSamples() const { return dropped_; }

 private:
  void _announceContext(QVDriverEventWriter& out);

  Locate locate_;
  Context context_;
  Log log_;
  uint64_t dropped_ = 0;

  // Per file buffer: each starts from the stream's defaults.
  uint64_t tid_ = 0;
  uint64_t tgid_ = 0;
  bool contextPending_ = false;
  uint64_t cookie_ = kOprofileNoCookie;
  bool inKernel_ = false;
  enum class Trace { Normal, Begun, Frames, Dropped } trace_ = Trace::Normal;
};

}  // namespace Quorvel
