#pragma once

#include <memory>
#include <string>

#include "drivers/QVProfileDriver.h"

namespace Quorvel {
namespace test {

// Gives a test the process-wide driver registry to itself: on construction
// the back-end providers of the library are set aside and the registry is
// emptied, so the test starts as on a machine without any back-end; on
// destruction the test's providers, its registry and its kernel version are
// dropped and the library's providers come back.
class DriverRegistrySandbox {
 public:
  DriverRegistrySandbox();
  ~DriverRegistrySandbox();
  DriverRegistrySandbox(const DriverRegistrySandbox&) = delete;
  DriverRegistrySandbox& operator=(const DriverRegistrySandbox&) = delete;

  // Offers the driver as the process-wide instance of its back-end.
  void install(const std::shared_ptr<QVProfileDriver>& driver);
  // The kernel release the automatic default choice sees.
  void setKernelVersion(const std::string& release);

 private:
  QVProfileDriver::BackendProvider perf_;
  QVProfileDriver::BackendProvider qvprofile_;
  QVProfileDriver::BackendProvider oprofile_;
};

}  // namespace test
}  // namespace Quorvel
