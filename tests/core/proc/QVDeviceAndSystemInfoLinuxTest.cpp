#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <tuple>
#include <unordered_set>

#include "proc/QVDiskInfoLinux.h"
#include "proc/QVNetworkInfoLinux.h"
#include "proc/QVProcCounterParsers.h"
#include "proc/QVSystemInfoLinux.h"
#include "support/FakeProcTree.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using Quorvel::test::FakeProcTree;

namespace {

// Layouts copied from this development machine's /proc (Linux 6.18,
// x86-64); the numbers are chosen so that every quantity is distinct.
const char* const kStat =
    "cpu  100 200 300 400 500 600 700 800 900 1000\n"
    "cpu0 100 200 300 400 500 600 700 800 900 1000\n"
    "intr 123456 1 2 3\n"
    "ctxt 379864\n"
    "btime 1796497790\n"
    "processes 8029\n"
    "procs_running 3\n"
    "procs_blocked 1\n";
const char* const kMeminfo =
    "MemTotal:        8000000 kB\n"
    "MemFree:         1000000 kB\n"
    "MemAvailable:    5000000 kB\n"
    "Active:          2000000 kB\n"
    "SwapTotal:       4000000 kB\n"
    "SwapFree:        3000000 kB\n";
const char* const kDiskstats =
    " 254       0 vda 8337 2871 761318 4102 12345 678 901234 5678 0 9000 12000 0 0 0 0 0 0\n"
    " 254       1 vda1 8000 2800 760000 4000 12000 600 900000 5600 0 8900 11900 0 0 0 0 0 0\n"
    "   7       0 loop0 10 0 20 1 0 0 0 0 0 4 1 0 0 0 0 0 0\n";
const char* const kNetDev =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n"
    "    lo:   5000      50    0    0    0     0          0         0     5000      50    0    0    0     0       0 "
    "         0\n"
    "  eth0:1234567890 98765  1    2    0     0          0         0  87654321   54321    3    4    0     0       0 "
    "         0\n";

}  // namespace

TEST(QVSystemInfoLinux, ReadsEveryValueAtItsPosition) {
  FakeProcTree tree;
  tree.writeFile("/proc/stat", kStat);
  tree.writeFile("/proc/loadavg", "0.52 1.25 2.50 3/345 12345\n");
  tree.writeFile("/proc/meminfo", kMeminfo);
  tree.writeFile("/proc/vmstat", "pgpgin 111\npgpgout 222\npswpin 3\npswpout 4\npgfault 5555\npgmajfault 66\n");
  QVSystemPaths::ScopedRoot root(tree.root());

  QVSystemInfoLinux info;
  ASSERT_TRUE(info.update());
  const QVSystemInfoLinux::ProcStatValues stat = info.procStatValues();
  // Ticks are USER_HZ (100 here), so 100 ticks are one second.
  const double kTicks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  for (std::size_t column = 0; column < 10; ++column) {
    EXPECT_DOUBLE_EQ(stat.real(column), 100.0 * static_cast<double>(column + 1) / kTicks) << column;
  }
  EXPECT_EQ(stat.integer(QVSystemInfoLinux::Interrupts), 123456u);
  EXPECT_EQ(stat.integer(QVSystemInfoLinux::ContextSwitches), 379864u);
  EXPECT_EQ(stat.integer(QVSystemInfoLinux::Forks), 8029u);
  EXPECT_EQ(stat.integer(QVSystemInfoLinux::RunningTasks), 3u);
  const QVSystemInfoLinux::ProcLoadAvgValues load = info.procLoadAvgValues();
  EXPECT_DOUBLE_EQ(load.real(0), 0.52);
  EXPECT_DOUBLE_EQ(load.real(2), 2.50);
  EXPECT_EQ(load.integer(QVSystemInfoLinux::Tasks), 345u);
  const QVSystemInfoLinux::ProcMemInfoValues mem = info.procMemInfoValues();
  EXPECT_EQ(mem.integer(QVSystemInfoLinux::MemTotal), uint64_t{8000000} * 1024);
  EXPECT_EQ(mem.integer(QVSystemInfoLinux::SwapFree), uint64_t{3000000} * 1024);
  EXPECT_EQ(mem.integer(QVSystemInfoLinux::Buffers), 0u);  // absent from the file
  EXPECT_EQ(info.procVmStatValues().integer(QVSystemInfoLinux::PageOuts), 222u);

  // The other files are optional; a stat without a cpu line fails the pass.
  for (const char* optional : {"/proc/loadavg", "/proc/meminfo", "/proc/vmstat"}) {
    ASSERT_TRUE(FileRemove(tree.path(optional)));
  }
  ASSERT_TRUE(info.update());
  EXPECT_EQ(info.procMemInfoValues().integer(QVSystemInfoLinux::MemTotal), 0u);
  EXPECT_EQ(info.procStatValues().integer(QVSystemInfoLinux::Forks), 8029u);

  tree.writeFile("/proc/stat", "ctxt 1\n");  // no cpu line
  EXPECT_FALSE(info.update());
  EXPECT_EQ(info.procStatValues().integer(QVSystemInfoLinux::Forks), 8029u) << "last good pass kept";
}

TEST(QVDiskInfoLinux, WholeDisksCountersAndRemoval) {
  FakeProcTree tree;
  tree.writeFile("/proc/diskstats", kDiskstats);
  tree.writeFile("/sys/block/vda/size", "0\n");
  tree.writeFile("/sys/block/loop0/size", "0\n");
  QVSystemPaths::ScopedRoot root(tree.root());

  std::unordered_set<QVDiskId> ids;
  QVDiskInfoLinux::getDiskIds(ids, false);
  const QVDiskId vda = QVDiskId::uniqueDiskId(QVSystemId::currentSystemId(), "vda");
  EXPECT_EQ(ids, (std::unordered_set<QVDiskId>{vda, QVDiskId::uniqueDiskId(QVSystemId::currentSystemId(), "loop0")}))
      << "partitions are not listed by /sys/block";

  QVDiskInfoLinux disk(vda);
  ASSERT_TRUE(disk.update());
  QVDiskInfoLinux::DiskStats stats = disk.diskStats();
  // Sectors are 512 bytes; times are milliseconds.
  EXPECT_EQ(std::make_tuple(stats.integer(QVDiskInfoLinux::Reads), stats.integer(QVDiskInfoLinux::ReadBytes),
                            stats.integer(QVDiskInfoLinux::Writes), stats.integer(QVDiskInfoLinux::WriteBytes)),
            std::make_tuple(uint64_t{8337}, uint64_t{761318} * 512, uint64_t{12345}, uint64_t{901234} * 512));
  EXPECT_DOUBLE_EQ(stats.real(QVDiskInfoLinux::ReadTime), 4.102);
  EXPECT_DOUBLE_EQ(stats.real(QVDiskInfoLinux::WriteTime), 5.678);

  tree.writeFile("/proc/diskstats", " 7 0 loop0 10 0 20 1 0 0 0 0 0 4 1\n");
  EXPECT_FALSE(disk.update()) << "a removed disk fails its update";
  EXPECT_EQ(disk.diskStats().integer(QVDiskInfoLinux::Reads), 8337u);
}

TEST(QVNetworkInfoLinux, InterfacesWithoutLoopbackAndWideCounters) {
  FakeProcTree tree;
  tree.writeFile("/proc/net/dev", kNetDev);
  QVSystemPaths::ScopedRoot root(tree.root());

  std::unordered_set<QVNetworkId> ids;
  QVNetworkInfoLinux::getNetworkIds(ids, false);
  const QVNetworkId eth0 = QVNetworkId::uniqueNetworkId(QVSystemId::currentSystemId(), "eth0");
  EXPECT_EQ(ids, std::unordered_set<QVNetworkId>{eth0});

  QVNetworkInfoLinux net(eth0);
  ASSERT_TRUE(net.update());
  QVNetworkInfoLinux::NetworkStats stats = net.networkStats();
  EXPECT_EQ(stats.integer(QVNetworkInfoLinux::ReceiveBytes), 1234567890u);
  EXPECT_EQ(stats.integer(QVNetworkInfoLinux::ReceivePackets), 98765u);
  EXPECT_EQ(stats.integer(QVNetworkInfoLinux::SendBytes), 87654321u);
  EXPECT_EQ(stats.integer(QVNetworkInfoLinux::SendPackets), 54321u);
  EXPECT_EQ(stats.integer(QVNetworkInfoLinux::SendDrops), 4u);

  QVNetworkInfoLinux gone(QVNetworkId::uniqueNetworkId(QVSystemId::currentSystemId(), "wlan9"));
  EXPECT_FALSE(gone.update());
}

TEST(QVProcCounterParsers, MalformedLinesAreIssuesAndTheRestIsKept) {
  struct Case {
    const char* text;
    std::size_t entries;
    std::size_t issues;
  };
  const Case diskCases[] = {
      {"8 0 sda 1 2 3 4 5 6 7 8 9 10\n", 1, 0},
      {"8 0 sda 1 2 3\n8 16 sdb 1 2 3 4 5 6 7 8 9 10\n", 1, 1},  // truncated line
      {"x 0 sda 1 2 3 4 5 6 7 8 9 10\n", 0, 1},
      {"99999999999 0 sda 1 2 3 4 5 6 7 8 9 10\n", 0, 1},  // major beyond 32 bits
      {"", 0, 0},
  };
  for (const Case& c : diskCases) {
    QVProcParseResult<QVProcDiskstat> result = QVProcCounterParsers::parseDiskstats(c.text);
    EXPECT_EQ(result.entries.size(), c.entries) << c.text;
    EXPECT_EQ(result.issues.size(), c.issues) << c.text;
  }
  const Case netCases[] = {
      {"eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n", 1, 0},
      {"eth0: 1 2 3\n", 0, 1},
      {"no colon 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n", 0, 1},
      {"a|b\n", 0, 0},
  };
  for (const Case& c : netCases) {
    QVProcParseResult<QVProcNetDev> result = QVProcCounterParsers::parseNetDev(c.text);
    EXPECT_EQ(result.entries.size(), c.entries) << c.text;
    EXPECT_EQ(result.issues.size(), c.issues) << c.text;
  }
  EXPECT_FALSE(QVProcCounterParsers::parseLoadavg("0.1 0.2\n"));
  EXPECT_FALSE(QVProcCounterParsers::parseLoadavg("0.1 0.2 0.3 3-4 5\n"));
  EXPECT_FALSE(QVProcCounterParsers::parseLoadavg("-1 0.2 0.3 3/4 5\n"));
  std::vector<QVProcParseIssue> issues;
  auto values = QVProcCounterParsers::parseNameValues("a 1\nb x\nc 3 4\nd 4\n", &issues);
  EXPECT_EQ(values, (std::map<std::string, uint64_t>{{"a", 1}, {"d", 4}}));
  EXPECT_EQ(issues.size(), 2u);
}
