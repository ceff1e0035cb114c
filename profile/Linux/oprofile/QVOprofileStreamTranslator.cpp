#include "Linux/oprofile/QVOprofileStreamTranslator.h"

#include <sstream>

#include "Linux/driver/QVDriverEventScanner.h"

namespace Quorvel {

namespace {

std::string Hex(uint64_t value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

}  // namespace

QVOprofileStreamTranslator::QVOprofileStreamTranslator(Locate locate, Context context, Log log)
    : locate_(std::move(locate)), context_(std::move(context)), log_(std::move(log)) {}

void QVOprofileStreamTranslator::_announceContext(QVDriverEventWriter& out) {
  if (!contextPending_) return;
  contextPending_ = false;
  out.control(OP_CTX_SWITCH_CODE, tid_, tgid_);
  if (context_) context_(tgid_, tid_);
}

bool QVOprofileStreamTranslator::translate(QVDriverBufferCursorAbstract& words, bool is64, QVDriverEventWriter& out,
                                           uint64_t& processed) {
  tid_ = tgid_ = 0;
  contextPending_ = false;
  cookie_ = kOprofileNoCookie;
  inKernel_ = false;
  trace_ = Trace::Normal;
  const uint64_t invalidCookie = QVDriverEscapeMarker(is64);
  QVDriverEventScanner scanner(words, is64);
  QVDriverStreamItem item;
  while (scanner.next(item)) {
    if (item.kind == QVDriverStreamItem::Entry) {
      _announceContext(out);
      const bool sample = trace_ != Trace::Frames && trace_ != Trace::Dropped;
      if (trace_ == Trace::Dropped) continue;
      uint64_t address = item.first;
      if (!inKernel_) {
        if (cookie_ == kOprofileNoCookie || cookie_ == invalidCookie) {
          if (log_) {
            log_(false, std::string("] - ") + (cookie_ == kOprofileNoCookie ? "no" : "invalid") + " cookie (0x" +
                            Hex(cookie_) + ") - assuming raw address 0x" + Hex(item.first));
          }
        } else if (!locate_ || !locate_(tgid_, cookie_, item.first, address)) {
          if (log_)
            log_(false, "] - failed to map file offset 0x" + Hex(item.first) + " of cookie 0x" + Hex(cookie_) +
                            " in thread group " + std::to_string(tgid_));
          if (sample) {
            ++dropped_;
            // Its frames have no sample to belong to.
            if (trace_ == Trace::Begun) trace_ = Trace::Dropped;
          }
          continue;
        }
      }
      out.entry(address, item.second);
      if (trace_ == Trace::Begun) trace_ = Trace::Frames;
      continue;
    }
    switch (item.code) {
      case OP_CTX_SWITCH_CODE:
        // The thread group follows in its own record; until it does the
        // thread is taken to lead its group.
        tid_ = tgid_ = item.first;
        contextPending_ = true;
        cookie_ = kOprofileNoCookie;
        break;
      case OP_CTX_TGID_CODE:
        tgid_ = item.first;
        contextPending_ = true;
        break;
      case OP_COOKIE_SWITCH_CODE:
        cookie_ = item.first;
        break;
      case OP_KERNEL_ENTER_SWITCH_CODE:
        inKernel_ = true;
        out.control(item.code);
        break;
      case OP_KERNEL_EXIT_SWITCH_CODE:
        inKernel_ = false;
        out.control(item.code);
        break;
      case OP_CPU_SWITCH_CODE:
      case OP_QV_ADAPT_SAMPLING_INTERVAL_CODE:
        out.control(item.code, item.first);
        break;
      case OP_TRACE_BEGIN_CODE:
        _announceContext(out);
        trace_ = Trace::Begun;
        out.control(item.code);
        break;
      case OP_TRACE_END_CODE:
        trace_ = Trace::Normal;
        out.control(item.code);
        break;
      case OP_MODULE_LOADED_CODE:
        out.control(item.code);
        break;
      case OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE:
      case OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE:
      case OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE:
      case OP_QV_SAMPLE_END_TIMESTAMP_CODE:
        _announceContext(out);
        out.timestamp(item.code, item.first);
        break;
      default:
        // Xen, domain and IBS markers.
        if (log_) log_(false, std::string("] ") + QVDriverEscapeCodeName(item.code) + " ignored");
        break;
    }
  }
  processed = words.index();
  if (scanner.fault() == QVDriverStreamFault::None) return true;
  if (log_) {
    if (scanner.fault() == QVDriverStreamFault::UnknownCode) {
      log_(true, "unknown escape code 0x" + Hex(scanner.faultCode()));
    } else {
      log_(true, "] " + scanner.faultText());
    }
  }
  return false;
}

}  // namespace Quorvel
