#include "support/DriverRegistrySandbox.h"

namespace Quorvel {
namespace test {

DriverRegistrySandbox::DriverRegistrySandbox()
    : perf_(QVProfileDriver::backendProvider(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_PERF)),
      qvprofile_(QVProfileDriver::backendProvider(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE)),
      oprofile_(QVProfileDriver::backendProvider(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE)) {
  QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_PERF, nullptr);
  QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, nullptr);
  QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, nullptr);
  QVProfileDriver::resetRegistry();
}

DriverRegistrySandbox::~DriverRegistrySandbox() {
  QVProfileDriver::resetRegistry();
  QVProfileDriver::setKernelVersionSource(nullptr);
  QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_PERF, perf_);
  QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, qvprofile_);
  QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, oprofile_);
}

void DriverRegistrySandbox::install(const std::shared_ptr<QVProfileDriver>& driver) {
  QVProfileDriver::registerBackend(driver->identifier(), [driver] { return driver; });
}

void DriverRegistrySandbox::setKernelVersion(const std::string& release) {
  QVProfileDriver::setKernelVersionSource([release] { return release; });
}

}  // namespace test
}  // namespace Quorvel
