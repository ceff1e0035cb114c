#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>

#include "QVInternedId.h"
#include "QVProcessId.h"
#include "QVSystemId.h"
#include "QVThreadId.h"

namespace Quorvel {

struct QVContextRecord;

// Where a sample was taken: a thread, the processor it ran on, and the mode
// (state 1 user, 2 supervisor; other values are kept as given). Interned;
// sessions look up one context per sample, so the lookup is sharded (see
// QVInternTable).
//
// Archive keys: "ThreadId" (object, shared), "Processor" ("%lld"), "State"
// ("%lld"). An invalid context is an element without keys.
class QVContext : public QVInternedId<QVContextRecord> {
 public:
  static constexpr int StateUser = 1;
  static constexpr int StateSupervisor = 2;

  QVContext() = default;  // invalid

  static QVContext uniqueContext(const QVThreadId& threadId, int processorIndex, int state);
  static QVContext invalid() { return QVContext(); }

  QVThreadId threadId() const;
  QVProcessId asProcessId() const;
  QVSystemId asSystemId() const;
  // -1 for the invalid context.
  int processorIndex() const;
  // 0 for the invalid context.
  int state() const;

  bool operator==(const QVContext& other) const { return record_ == other.record_; }
  bool operator!=(const QVContext& other) const { return record_ != other.record_; }
  // By thread, processor, then state; the invalid context first.
  bool operator<(const QVContext& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVContext(const QVContextRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVContext& context) { return context.hash(); }
// "context tid 5 cpu 1 user" ("supervisor", or "state N" for other states),
// or "invalid context".
std::ostream& operator<<(std::ostream& os, const QVContext& context);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVContext> {
  size_t operator()(const Quorvel::QVContext& context) const { return context.hash(); }
};
