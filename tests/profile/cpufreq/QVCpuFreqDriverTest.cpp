#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "cpufreq/QVCpuFreqDriver.h"

// The restore order and skipping rules of the driver base, through a driver
// that keeps its settings in memory and records every setter call.
namespace Quorvel {
namespace {

class RecordingDriver : public QVCpuFreqDriver {
 public:
  RecordingDriver(std::set<std::string> governors, std::set<uint64_t> frequencies, const Settings& current)
      : current_(current) {
    governors_ = std::move(governors);
    frequencies_ = std::move(frequencies);
    available_ = true;
    save();
  }

  std::string governor() const override { return current_.governor; }
  uint64_t userScalingFrequency() const override { return current_.governor == "userspace" ? current_.user : 0; }
  uint64_t minScalingFrequency() const override { return current_.minimum; }
  uint64_t maxScalingFrequency() const override { return current_.maximum; }
  bool setGovernor(const std::string& name) override { return _record("governor " + name, current_.governor, name); }
  bool setUserScalingFrequency(uint64_t f) override { return _record("user " + std::to_string(f), current_.user, f); }
  bool setMinScalingFrequency(uint64_t f) override { return _record("min " + std::to_string(f), current_.minimum, f); }
  bool setMaxScalingFrequency(uint64_t f) override { return _record("max " + std::to_string(f), current_.maximum, f); }

  Settings current_;
  std::vector<std::string> calls;
  std::string failing;  // the setter call that fails, e.g. "max 2400000"

 private:
  template <class T>
  bool _record(const std::string& call, T& field, const T& value) {
    calls.push_back(call);
    if (call == failing) return false;
    field = value;
    return true;
  }
};

const std::set<std::string> kGovernors = {"performance", "powersave", "userspace"};
const std::set<uint64_t> kFrequencies = {800000, 1600000, 2400000};

TEST(QVCpuFreqDriverTest, RestoreWritesGovernorMaxMinUserInOrderAndSkipsWhatIsNotAvailable) {
  struct Case {
    const char* name;
    QVCpuFreqDriver::Settings saved;
    std::string failing;
    bool result;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"someone switched the governor: everything goes back, a user frequency of 0 is never written",
       {"powersave", 800000, 2400000, 0}, "", true, {"governor powersave", "max 2400000", "min 800000"}},
      {"a saved user frequency comes last", {"userspace", 800000, 2400000, 1600000}, "", true,
       {"governor userspace", "max 2400000", "min 800000", "user 1600000"}},
      {"a governor no longer offered is skipped, not a failure", {"ondemand", 800000, 2400000, 0}, "", true,
       {"max 2400000", "min 800000"}},
      {"frequencies no longer offered are skipped", {"powersave", 700000, 2500000, 900000}, "", true,
       {"governor powersave"}},
      {"a failed step fails the result but the later steps still run", {"powersave", 800000, 2400000, 0},
       "max 2400000", false, {"governor powersave", "max 2400000", "min 800000"}},
  };
  for (const Case& c : cases) {
    RecordingDriver driver(kGovernors, kFrequencies, c.saved);
    // What a pinning run leaves: performance at the top frequency.
    driver.current_ = {"performance", 2400000, 2400000, 0};
    driver.failing = c.failing;
    EXPECT_EQ(driver.restore(), c.result) << c.name;
    EXPECT_EQ(driver.calls, c.calls) << c.name;
  }
}

}  // namespace
}  // namespace Quorvel
