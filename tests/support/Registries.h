#pragma once

#include <memory>

#include <gtest/gtest.h>

namespace Quorvel {

class QVProcessDiscovery;

namespace test {

// Empties the process, thread, module, symbol, source-file and system
// registries, as a fresh process has them.
void FlushRegistries();

// A test that starts and ends with empty registries.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { FlushRegistries(); }
  void TearDown() override { FlushRegistries(); }
};

// A test of the process model on its own: the platform's discovery,
// installed when the library loads, is set aside (so updates find nothing)
// and put back afterwards.
class ModelTest : public RegistryTest {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  std::shared_ptr<QVProcessDiscovery> platform_;
};

}  // namespace test
}  // namespace Quorvel
