#include "Linux/kernel/QVThreadLinuxKernel.h"

#include "ids/QVSystemId.h"

namespace Quorvel {

QVThreadLinuxKernel::QVThreadLinuxKernel(const QVThreadId& threadId) : QVThread(threadId) {
  const bool idle = threadId.asProcessId().nativeIdentifier() == 0;
  mutableProperties().setString(PROPERTY_THREAD_TYPE, idle ? VAL_THREAD_KERNEL_IDLE : VAL_THREAD_KERNEL);
}

bool QVThreadLinuxKernel::isRunning() const {
  return threadId().isValid() && threadId().asProcessId().asSystemId() == QVSystemId::currentSystemId();
}

void QVThreadLinuxKernel::_updateThreadTimeInfo() const {}

}  // namespace Quorvel
