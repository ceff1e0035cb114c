#pragma once

#include <functional>
#include <iosfwd>

#include "ids/QVInternedId.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"

namespace Quorvel {

// Where a sample was taken: a thread, the processor it ran on, and the mode
// (state 1 user, 2 supervisor; other values are kept as given). Interned;
// sessions look up one context per sample, so the lookup is sharded (see
// QVInternTable). Ordered by thread, processor, then state.
//
// Archive keys: "ThreadId" (object, shared), "Processor" ("%lld"), "State"
// ("%lld").
class QVContext : public QVInternedId<QVContext, QVThreadId, int, int> {
 public:
  static constexpr const char* kKeys[] = {"ThreadId", "Processor", "State"};
  static constexpr const char* kInvalidText = "invalid context";
  static constexpr int StateUser = 1;
  static constexpr int StateSupervisor = 2;

  QVContext() = default;  // invalid

  static QVContext uniqueContext(const QVThreadId& threadId, int processorIndex, int state) {
    return _intern(threadId, processorIndex, state);
  }

  QVThreadId threadId() const { return isValid() ? _field<0>() : QVThreadId(); }
  QVProcessId asProcessId() const { return threadId().asProcessId(); }
  QVSystemId asSystemId() const { return threadId().asSystemId(); }
  // -1 for the invalid context.
  int processorIndex() const { return isValid() ? _field<1>() : -1; }
  // 0 for the invalid context.
  int state() const { return isValid() ? _field<2>() : 0; }

 private:
  friend QVInternedId;
  // "context tid 5 cpu 1 user" ("supervisor", or "state N" for other states).
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVContext> : Quorvel::QVInternedIdHash {};
