#pragma once

#include <memory>
#include <string>
#include <vector>

#include "drivers/QVProfileDriver.h"

namespace Quorvel {
namespace test {

// A back-end driver whose availability and load result a test sets, and
// which records its load and unload calls. Drivers that share a journal
// write "load <name>" / "unload <name>" lines into it in call order, so a
// test can see what happened across drivers.
class FakeProfileDriver : public QVProfileDriver {
 public:
  using Journal = std::vector<std::string>;

  explicit FakeProfileDriver(const std::string& identifier,
                             std::shared_ptr<Journal> journal = std::make_shared<Journal>());

  void setAvailable(bool available) { available_ = available; }
  void setLoadSucceeds(bool succeeds) { loadSucceeds_ = succeeds; }
  // Marks the driver loaded or not without a call, as when its kernel side
  // was loaded before the process started.
  void setLoaded(bool loaded) { loaded_ = loaded; }
  int loadCount() const { return loadCount_; }

  // The machine facts and capabilities a real back-end sets up itself.
  void setProcessor(QVProcessor processor) { processor_ = processor; }
  void setVirtualMachine(bool virtualMachine) { virtualMachine_ = virtualMachine; }
  void setDisablePowerManagementSupported(bool supported) { disablePowerManagementSupported_ = supported; }
  void setCycleCounterFrequency(uint64_t frequency) { cycleCounterFrequency_ = frequency; }
  void addEvent(const QVPerfMonEventId& event) { events_.insert(event); }

  bool isAvailable() const override { return available_; }
  bool load(const std::vector<std::string>& args) override;
  bool unload() override;
  bool isLoaded() const override { return loaded_; }

 private:
  std::shared_ptr<Journal> journal_;
  bool available_ = true;
  bool loadSucceeds_ = true;
  bool loaded_ = false;
  int loadCount_ = 0;
};

}  // namespace test
}  // namespace Quorvel
