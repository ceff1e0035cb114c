#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "metrics/QVMetricData.h"
#include "metrics/QVMetricSampler.h"
#include "support/ArchiveRoundTrip.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

// A sampler with one system metric and one process metric whose values are
// a pass counter, driven by a hand-wound clock; tests call _sample()
// themselves instead of waiting for the timer.
class CountingSampler : public QVMetricSampler {
 public:
  CountingSampler() : QVMetricSampler([this] { return now.load(); }) {
    _offer(std::make_shared<QVMetricInfo>(QVMetricInfo::SYSTEM, "system.test", "CPU", "Test", "A test.",
                                          QVMetricInfo::COUNT));
    _offer(std::make_shared<QVMetricInfo>(QVMetricInfo::PROCESS, "process.test", "CPU", "Test", "A test.",
                                          QVMetricInfo::COUNT));
  }
  ~CountingSampler() override { _shutdown(); }

  void pass() { _sample(); }
  void setProcesses(std::unordered_set<QVProcessId> ids) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    processIds_ = std::move(ids);
  }

  std::atomic<uint64_t> now{1000};
  std::unordered_set<QVProcessId> failing;
  uint64_t passes = 0;

 protected:
  using QVMetricSampler::_sampleSystem;
  bool _sampleSystem(QVMetricSampleSystem& sample) override {
    sample.mutableMetricMap().setUnsigned("system.test", ++passes);
    return true;
  }
  bool _sampleProcess(QVMetricSampleProcess& sample) override {
    sample.mutableMetricMap().setUnsigned("process.test", passes);
    return failing.count(sample.processId()) == 0;
  }
  bool _sampleThread(QVMetricSampleThread&) override { return true; }
  bool _sampleProcessor(QVMetricSampleProcessor&) override { return true; }
  bool _sampleDisk(QVMetricSampleDisk&) override { return true; }
  bool _sampleNetwork(QVMetricSampleNetwork&) override { return true; }
};

std::shared_ptr<QVMetricSamplerConfig> configOf(double interval, double window,
                                                std::vector<std::string> systemIds = {"system.test"},
                                                std::vector<std::string> processIds = {}) {
  auto config = std::make_shared<QVMetricSamplerConfig>(interval, window);
  config->systemMetricIds = std::move(systemIds);
  config->processMetricIds = std::move(processIds);
  return config;
}

}  // namespace

TEST(QVMetricSampler, IntervalWindowAndOfferedMetricRules) {
  struct Case {
    double interval, window;
    bool accepted;
    double effectiveWindow;
    std::size_t capacity;
  };
  const Case cases[] = {
      {1.0, 1.0, true, 5.0, 5},     // 2 x interval gives 2 s, the minimum 5 s
      {0.05, 60.0, false, 0, 0},    // below the 0.1 s minimum
      {0.1, 60.0, true, 60.0, 600},
      {1.0, 60.0, true, 60.0, 60},  // the defaults
      {4.0, 6.0, true, 8.0, 2},     // window raised to two intervals
  };
  for (const Case& c : cases) {
    CountingSampler sampler;
    EXPECT_EQ(sampler.setConfig(configOf(c.interval, c.window)), c.accepted) << c.interval;
    if (c.accepted) {
      EXPECT_DOUBLE_EQ(sampler.effectiveWindow(), c.effectiveWindow) << c.interval;
      EXPECT_EQ(sampler.ringCapacity(), c.capacity) << c.interval;
    }
  }
  // A metric the sampler does not offer fails the configuration and the start.
  CountingSampler sampler;
  EXPECT_FALSE(sampler.setConfig(configOf(1.0, 60.0, {"system.memory.active_size"})));
  EXPECT_FALSE(sampler.start());
  EXPECT_FALSE(sampler.isActive());
}

TEST(QVMetricSampler, RingKeepsNewestPassesInOrderWithTheirTimeRanges) {
  CountingSampler sampler;
  ASSERT_TRUE(sampler.setConfig(configOf(1.0, 1.0)));  // ring of 5
  ASSERT_TRUE(sampler.start());                         // first pass at once
  for (int pass = 0; pass < 6; ++pass) {
    sampler.now += 1000;  // each pass covers 1000 ns of the fake clock
    sampler.pass();
  }
  QVMetricSampler::DataList data;
  ASSERT_TRUE(sampler.waitForData(data, false, 1.0));
  ASSERT_EQ(data.size(), 5u);
  EXPECT_EQ(sampler.stats().droppedPasses, 2u);
  for (std::size_t index = 0; index < data.size(); ++index) {
    const auto& samples = data[index]->systemSamples();
    ASSERT_EQ(samples.size(), 1u);
    // Passes 1 and 2 were dropped; what is left are passes 3..7, oldest first.
    EXPECT_EQ(samples.begin()->second->metricMap().unsignedValue("system.test"), index + 3);
    EXPECT_EQ(data[index]->timeRange().length, 1000u);
  }
  EXPECT_TRUE(sampler.stop());
}

TEST(QVMetricSampler, StoppingWithAFinalPassKeepsTheLastStretch) {
  struct Case {
    uint64_t sinceLastPass;  // ns of the fake clock between the last pass and the stop
    std::size_t passes;
  };
  const Case cases[] = {
      {20000000, 2},  // 20 ms: the stretch since the start pass becomes a pass of its own
      {10000000, 2},  // exactly the 10 ms minimum
      {1000, 1},      // 1 us: a rate over it would be noise, so none is taken
  };
  for (const Case& c : cases) {
    CountingSampler sampler;
    ASSERT_TRUE(sampler.setConfig(configOf(60.0, 120.0)));  // the timer will not fire during the test
    ASSERT_TRUE(sampler.start());
    sampler.now += c.sinceLastPass;
    EXPECT_TRUE(sampler.stopWithFinalPass());
    EXPECT_FALSE(sampler.isActive());
    QVMetricSampler::DataList data;
    ASSERT_TRUE(sampler.waitForData(data, false, 1.0));
    ASSERT_EQ(data.size(), c.passes) << c.sinceLastPass;
    EXPECT_EQ(data.back()->timeRange().length, c.passes == 2 ? c.sinceLastPass : 0u) << c.sinceLastPass;
  }
  CountingSampler idle;
  EXPECT_TRUE(idle.stopWithFinalPass()) << "like stop(), harmless when not sampling";
  EXPECT_EQ(idle.stats().passes, 0u);
}

TEST(QVMetricSampler, FailedEntitySamplesAreRemovedFromThePassAndStopWakesAWaiter) {
  CountingSampler sampler;
  const QVSystemId system = QVSystemId::currentSystemId();
  const QVProcessId alive = QVProcessId::uniqueProcessId(system, 100, 1);
  const QVProcessId gone = QVProcessId::uniqueProcessId(system, 101, 1);
  // The timer will not fire during the test: the only pass is the one
  // start() takes.
  ASSERT_TRUE(sampler.setConfig(configOf(60.0, 120.0, {}, {"process.test"})));
  sampler.setProcesses({alive, gone});
  sampler.failing = {gone};
  ASSERT_TRUE(sampler.start());
  QVMetricSampler::DataList data;
  ASSERT_TRUE(sampler.waitForData(data, false, 5.0));
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0]->processSamples().size(), 1u);
  EXPECT_EQ(data[0]->processSamples().count(alive), 1u);
  EXPECT_TRUE(data[0]->systemSamples().empty()) << "no system metric configured";
  EXPECT_EQ(sampler.stats().failedSamples, 1u);

  EXPECT_FALSE(sampler.waitForData(data, true, 0.2));  // nothing new: times out
  EXPECT_EQ(data.size(), 1u) << "append keeps what was there";
  std::thread stopper([&sampler] { sampler.stop(); });
  // A stop wakes the waiter long before the 60 s upper bound.
  EXPECT_FALSE(sampler.waitForData(data, false, 60.0));
  stopper.join();
}

TEST(QVMetricModel, ArchiveRoundTrips) {
  QVMetricData data(QVRange<uint64_t>(123456789, 1000000000));
  const QVSystemId system = QVSystemId::currentSystemId();
  data.addSystemSample(system)->mutableMetricMap().setFloat("system.time.user", 1.25);
  data.addProcessSample(QVProcessId::uniqueProcessId(system, 42, 7))->mutableMetricMap().setSigned("t", -3);
  data.addDiskSample(QVDiskId::uniqueDiskId(system, "vda"))->mutableMetricMap().setUnsigned("d", 512);
  data.addNetworkSample(QVNetworkId::uniqueNetworkId(system, "eth0"))->mutableMetricMap().setUnsigned("n", 9);
  const std::string document = ArchiveToString(data, "MetricData");
  auto decoded = UnarchiveFromString<QVMetricData>(document, "MetricData");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->timeRange().location, 123456789u);
  EXPECT_DOUBLE_EQ(decoded->sampleForSystem(system)->metricMap().floatValue("system.time.user"), 1.25);
  EXPECT_EQ(decoded->sampleForProcess(QVProcessId::uniqueProcessId(system, 42, 7))->metricMap().signedValue("t"), -3);
  EXPECT_EQ(decoded->sampleForDisk(QVDiskId::uniqueDiskId(system, "vda"))->metricMap().unsignedValue("d"), 512u);
  EXPECT_TRUE(decoded->sampleForThread(QVThreadId())->metricMap().empty()) << "absent gives the empty sample";
  EXPECT_EQ(ArchiveToString(*decoded, "MetricData"), document);

  QVMetricSamplerConfig config = *configOf(0.5, 30.0, {"system.time.user"}, {"process.time.user"});
  config.diskMetricIds = {"disk.read_bytes"};
  auto decodedConfig = UnarchiveFromString<QVMetricSamplerConfig>(ArchiveToString(config, "Config"), "Config");
  ASSERT_TRUE(decodedConfig);
  EXPECT_EQ(*decodedConfig, config);
  EXPECT_NE(ArchiveToString(config, "Config").find("0.5000000000"), std::string::npos);

  QVMetricInfo info(QVMetricInfo::DISK, "disk.read_time", "Disk", "Disk Read Time", "Time.", QVMetricInfo::TIME);
  auto decodedInfo = UnarchiveFromString<QVMetricInfo>(ArchiveToString(info, "Info"), "Info");
  ASSERT_TRUE(decodedInfo);
  EXPECT_EQ(decodedInfo->type(), QVMetricInfo::DISK);
  EXPECT_EQ(decodedInfo->units(), QVMetricInfo::TIME);
  EXPECT_EQ(QVMetricInfo::unitsName(static_cast<QVMetricInfo::QVMetricUnits>(99)), std::string("NONE"));
  EXPECT_EQ(QVMetricInfo::typeFromName("bogus"), QVMetricInfo::OTHER);
}
