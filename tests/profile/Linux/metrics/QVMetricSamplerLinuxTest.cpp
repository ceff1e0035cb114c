#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <tuple>

#include "Linux/metrics/QVMetricSamplerLinux.h"
#include "support/FakeProcTree.h"
#include "support/TestSupport.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using Quorvel::test::FakeProcTree;

namespace {

// Drives passes by hand on a fixture tree or the real /proc.
class ManualSampler : public QVMetricSamplerLinux {
 public:
  void pass() { _sample(); }
};

std::shared_ptr<QVMetricSamplerConfig> allMetrics(QVMetricSampler& sampler) {
  auto config = std::make_shared<QVMetricSamplerConfig>(60.0, 120.0);  // the timer stays out of the way
  for (const auto& info : sampler.systemMetricInfos()) config->systemMetricIds.push_back(info->id());
  for (const auto& info : sampler.processMetricInfos()) config->processMetricIds.push_back(info->id());
  for (const auto& info : sampler.diskMetricInfos()) config->diskMetricIds.push_back(info->id());
  for (const auto& info : sampler.networkMetricInfos()) config->networkMetricIds.push_back(info->id());
  return config;
}

std::shared_ptr<QVMetricData> onePass(ManualSampler& sampler) {
  QVMetricSampler::DataList data;
  sampler.pass();
  EXPECT_TRUE(sampler.waitForData(data, false, 5.0));
  return data.empty() ? nullptr : data.back();
}

}  // namespace

TEST(QVMetricSamplerLinux, FixtureValuesAcrossTwoPassesAndVanishingEntities) {
  FakeProcTree tree;
  tree.writeFile("/proc/stat",
                 "cpu  100 0 50 1000 10 0 5 0 0 0\nintr 7000 0\nctxt 9000\nbtime 1796497790\nprocesses 500\n");
  tree.writeFile("/proc/meminfo", "MemTotal: 1000 kB\nMemFree: 400 kB\nSwapTotal: 100 kB\nSwapFree: 100 kB\n");
  tree.writeFile("/proc/loadavg", "1.50 1.00 0.50 2/100 999\n");
  tree.writeFile("/proc/vmstat", "pgpgin 10\npgpgout 20\n");
  tree.writeFile("/proc/diskstats", " 254 0 vda 10 0 8 100 20 0 16 200 0 0 0\n");
  tree.writeFile("/proc/net/dev", "eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\n");
  FakeProcTree::Task task;
  task.pid = 4242;
  task.userTicks = 250;
  task.threads = 3;
  task.voluntarySwitches = 7;
  task.nonvoluntarySwitches = 5;
  tree.addTask(task);
  QVSystemPaths::ScopedRoot root(tree.root());

  // Only the metrics Linux offers: no thread metrics, no network time.
  ManualSampler sampler;
  EXPECT_EQ(std::make_tuple(sampler.systemMetricInfos().size(), sampler.processMetricInfos().size(),
                            sampler.diskMetricInfos().size(), sampler.networkMetricInfos().size()),
            std::make_tuple(15u, 8u, 6u, 4u));
  EXPECT_TRUE(sampler.threadMetricInfos().empty());
  auto unknown = std::make_shared<QVMetricSamplerConfig>();
  unknown->networkMetricIds = {"net.receive_time"};
  EXPECT_FALSE(sampler.setConfig(unknown));
  auto config = allMetrics(sampler);
  ASSERT_TRUE(sampler.setConfig(config));
  const QVProcessId process = QVProcessIdFromNativeIdentifier(4242);
  ASSERT_TRUE(process.isValid());
  sampler.setTargetProcesses({process});
  ASSERT_TRUE(sampler.start());

  auto first = onePass(sampler);
  ASSERT_TRUE(first);
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const QVSystemId system = QVSystemId::currentSystemId();
  const QVPropertyMap& sys = first->sampleForSystem(system)->metricMap();
  EXPECT_DOUBLE_EQ(sys.floatValue("system.time.user"), 100 / ticks);
  EXPECT_NEAR(sys.floatValue("system.time.system"), 65 / ticks, 1e-9);  // system + iowait + softirq
  EXPECT_EQ(sys.unsignedValue("system.memory.used_size"), 600u * 1024);
  EXPECT_EQ(sys.unsignedValue("system.swap.used_size"), 0u);
  EXPECT_EQ(sys.unsignedValue("system.sched.switch_count"), 9000u);
  EXPECT_EQ(sys.unsignedValue("system.interrupt_count"), 7000u);
  EXPECT_DOUBLE_EQ(sys.floatValue("system.loadavg.1min"), 1.5);
  EXPECT_NE(sys.stringValue("system.time.user").find('.'), std::string::npos) << "floats are \"%.10f\" text";
  const QVPropertyMap& proc = first->sampleForProcess(process)->metricMap();
  EXPECT_DOUBLE_EQ(proc.floatValue("process.time.user"), 250 / ticks);
  EXPECT_EQ(proc.signedValue("process.thread_count"), 3);
  EXPECT_EQ(proc.unsignedValue("process.sched.switch_count"), 12u);
  const QVPropertyMap& disk = first->sampleForDisk(QVDiskId::uniqueDiskId(system, "vda"))->metricMap();
  EXPECT_EQ(disk.unsignedValue("disk.read_bytes"), 8u * 512);
  EXPECT_DOUBLE_EQ(disk.floatValue("disk.write_time"), 0.2);
  const QVPropertyMap& net = first->sampleForNetwork(QVNetworkId::uniqueNetworkId(system, "eth0"))->metricMap();
  EXPECT_EQ(net.unsignedValue("net.send_bytes"), 2000u);

  // Second pass: the disk and the process are gone, the counters moved.
  tree.writeFile("/proc/stat",
                 "cpu  300 0 50 1000 10 0 5 0 0 0\nintr 7100 0\nctxt 9500\nbtime 1796497790\nprocesses 501\n");
  tree.writeFile("/proc/diskstats", "");
  tree.removeTask(4242);
  auto second = onePass(sampler);
  ASSERT_TRUE(second);
  EXPECT_DOUBLE_EQ(second->sampleForSystem(system)->metricMap().floatValue("system.time.user"), 300 / ticks);
  EXPECT_TRUE(second->diskSamples().empty());
  EXPECT_TRUE(second->processSamples().empty());
  EXPECT_EQ(second->networkSamples().size(), 1u);
  sampler.stop();
}

TEST(QVMetricSamplerLinux, LiveChildCpuTimeWithinTwentyPercent) {
  // The child spins until it has used 0.5 s of its own CPU time, as measured
  // by getrusage, then waits to be killed, so its /proc user + system time
  // must read about 0.5 s however loaded the machine is.
  constexpr double kBurnSeconds = 0.5;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = test::StartChild([&]() -> int {
    for (double used = 0; used < kBurnSeconds;) {
      rusage usage{};
      ::getrusage(RUSAGE_SELF, &usage);
      used = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    char byte = 1;
    (void)!::write(ready[1], &byte, 1);
    for (;;) ::pause();
  });
  ASSERT_GT(child, 0);
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);

  ManualSampler sampler;
  auto config = allMetrics(sampler);
  ASSERT_TRUE(sampler.setConfig(config));
  const QVProcessId process = QVProcessIdFromNativeIdentifier(child);
  sampler.setTargetProcesses({process});
  ASSERT_TRUE(sampler.start());
  QVMetricSampler::DataList data;
  ASSERT_TRUE(sampler.waitForData(data, false, 5.0));
  sampler.stop();
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);

  ASSERT_FALSE(data.empty());
  const QVPropertyMap& values = data.back()->sampleForProcess(process)->metricMap();
  const double cpu = values.floatValue("process.time.user") + values.floatValue("process.time.system");
  EXPECT_NEAR(cpu, kBurnSeconds, kBurnSeconds * 0.2);
  const QVPropertyMap& sys = data.back()->sampleForSystem(QVSystemId::currentSystemId())->metricMap();
  EXPECT_GT(sys.floatValue("system.time.idle") + sys.floatValue("system.time.user"), 0.0);
  EXPECT_GT(sys.unsignedValue("system.memory.used_size"), 0u);
  EXPECT_GE(sys.floatValue("system.loadavg.1min"), 0.0);
  EXPECT_GT(values.unsignedValue("process.memory.resident_size"), 0u);
}
