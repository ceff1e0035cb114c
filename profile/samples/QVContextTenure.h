#pragma once

#include <cstdint>

#include "ids/QVContext.h"
#include "samples/QVTenure.h"

namespace Quorvel {

// A tenure of one processor context. The context is kept as a pointer to
// one shared, never freed instance per distinct context, so a million
// samples of a few dozen contexts cost one pointer each and compare
// contexts by identity.
//
// Archive keys, in order: "Context" (object), then the QVTenure keys.
class QVContextTenure : public QVTenure {
 public:
  // The invalid context, both ticks 0.
  QVContextTenure();
  QVContextTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick);
  ~QVContextTenure() override;

  virtual void setContext(const QVContext& context);
  // The shared instance; the reference stays valid for the life of the process.
  virtual const QVContext& context() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // The shared instance of `context`; safe to call from any thread.
  static const QVContext* internContext(const QVContext& context);

 protected:
  QVContextTenure(const QVContextTenure&) = default;
  QVContextTenure& operator=(const QVContextTenure&) = default;

  const QVContext* context_;
};

}  // namespace Quorvel
