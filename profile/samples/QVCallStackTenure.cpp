#include "samples/QVCallStackTenure.h"

#include <ostream>

#include "base/QVLog.h"
#include "model/QVProcess.h"

namespace Quorvel {

QVCallStackTenure::QVCallStackTenure() : QVCallStack(), QVAbstractCallStackTenure() {}

QVCallStackTenure::QVCallStackTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick)
    : QVCallStack(), QVAbstractCallStackTenure(context, beginTick, endTick) {}

QVCallStackTenure::~QVCallStackTenure() = default;

const QVSymbolSource* QVCallStackTenure::symbolSource() const {
  if (symbolSource_ != nullptr) {
    return symbolSource_;
  }
  const QVThreadId threadId = context().threadId();
  if (context().state() == QVContext::StateUser) {
    const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(threadId.asProcessId(), false, false);
    if (!process) {
      QV_DEBUG("failed to find default process symbol source for " << threadId.asProcessId());
      return nullptr;
    }
    // Registered processes live as long as the registry, so a plain
    // pointer is enough.
    symbolSource_ = process.get();
  } else {
    const std::shared_ptr<QVProcess> kernel = QVProcess::kernelProcessForSystem(threadId.asSystemId(), false);
    if (!kernel) {
      QV_DEBUG("failed to find default kernel symbol source for " << threadId.asSystemId());
      return nullptr;
    }
    symbolSource_ = kernel.get();
  }
  return symbolSource_;
}

void QVCallStackTenure::encodeWithArchiver(QVArchiver* archiver) const {
  QVContextTenure::encodeWithArchiver(archiver);
  QVCallStack::encodeWithArchiver(archiver);
}

void QVCallStackTenure::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVContextTenure::decodeWithUnarchiver(unarchiver);
  QVCallStack::decodeWithUnarchiver(unarchiver);
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallStackTenure>& tenure) {
  if (tenure) {
    tenure->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
