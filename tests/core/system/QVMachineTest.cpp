#include "system/QVMachine.h"

#include <unistd.h>

#include <string>
#include <tuple>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVMachineText.h"
#include "system/QVSystemPaths.h"
#include "time/QVTime.h"

namespace Quorvel {
namespace {

// First-processor blocks in the kernel's /proc/cpuinfo layout (x86
// show_cpuinfo: "key<TAB>: value"), trimmed to the fields that matter and a
// few around them. Family and model numbers are those of the named parts.
const char kXeonX5570[] =  // Nehalem-EP: family 6, model 26 (0x1a)
    "processor\t: 0\n"
    "vendor_id\t: GenuineIntel\n"
    "cpu family\t: 6\n"
    "model\t\t: 26\n"
    "model name\t: Intel(R) Xeon(R) CPU           X5570  @ 2.93GHz\n"
    "stepping\t: 5\n"
    "cpu MHz\t\t: 2933.436\n"
    "siblings\t: 8\n"
    "cpu cores\t: 4\n"
    "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush dts acpi mmx "
    "fxsr sse sse2 ss ht tm pbe syscall nx rdtscp lm constant_tsc arch_perfmon pebs bts rep_good\n"
    "\n"
    "processor\t: 1\n"
    "vendor_id\t: GenuineIntel\n"
    "cpu family\t: 6\n"
    "model\t\t: 26\n"
    "cpu MHz\t\t: 1600.000\n"
    "\n";

const char kOpteron2435[] =  // Istanbul: family 16 (0x10), model 8
    "processor\t: 0\n"
    "vendor_id\t: AuthenticAMD\n"
    "cpu family\t: 16\n"
    "model\t\t: 8\n"
    "model name\t: Six-Core AMD Opteron(tm) Processor 2435\n"
    "cpu MHz\t\t: 2600.000\n"
    "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush mmx fxsr sse "
    "sse2 ht syscall nx mmxext fxsr_opt pdpe1gb rdtscp lm 3dnowext 3dnow constant_tsc rep_good nopl\n";

const char kCore2Duo[] =  // Penryn E8400: family 6, model 23 (0x17)
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 23\n"
    "flags\t\t: fpu tsc msr pae sse sse2 ht lm arch_perfmon pebs bts\n";

const char kXeonE5_2680[] =  // Sandy Bridge-EP: family 6, model 45 (0x2d)
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 45\n"
    "flags\t\t: fpu vme de pse tsc msr pae arch_perfmon pebs bts avx hypervisor\n";

const char kXeonX5650[] =  // Westmere-EP: family 6, model 44 (0x2c)
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 44\nflags\t\t: fpu arch_perfmon\n";

const char kPentium4HT[] =  // Prescott with Hyper-Threading on: family 15
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 15\nmodel\t\t: 4\n"
    "siblings\t: 2\ncpu cores\t: 1\nflags\t\t: fpu tsc ht\n";

const char kEpyc9005[] =  // Zen 5: family 26 (0x1a)
    "processor\t: 0\nvendor_id\t: AuthenticAMD\ncpu family\t: 26\nmodel\t\t: 2\n"
    "flags\t\t: fpu tsc perfctr_core hypervisor\n";

QVProcessor processorOf(const char* cpuinfo) {
  return QVMachineText::processorFromCpuInfo(QVMachineText::parseCpuInfo(cpuinfo));
}

TEST(QVMachineTextTest, ParsesCpuInfoOfTheFirstProcessorAndMapsItToAProcessorOrUnknown) {
  const QVMachineText::CpuInfo info = QVMachineText::parseCpuInfo(kXeonX5570);
  EXPECT_EQ(std::make_tuple(info.vendor, info.family, info.model, info.siblings, info.cores),
            std::make_tuple(std::string("GenuineIntel"), 6, 26, 8, 4));
  EXPECT_DOUBLE_EQ(info.cpuMHz, 2933.436) << "the second processor's 1600 MHz must not win";
  EXPECT_EQ(info.processorCount, 2u);
  EXPECT_EQ(info.flags.count("arch_perfmon"), 1u);
  EXPECT_EQ(info.flags.count("hypervisor"), 0u);

  const std::pair<std::string, QVProcessor> cases[] = {
      {kXeonX5570, QVProcessorCoreI7}, {kXeonX5650, QVProcessorWestmere}, {kCore2Duo, QVProcessorCore2},
      // Later Intel models fall back to arch_perfmon.
      {kXeonE5_2680, QVProcessorArchPerfMon}, {kPentium4HT, QVProcessorP4HT}, {kOpteron2435, QVProcessorFamily10},
      {kEpyc9005, QVProcessorFamily15h},
      // Unknown or malformed cpuinfo gives unknown.
      {"", QVProcessorUnknown}, {"garbage without colons\n\x01\x02", QVProcessorUnknown},
      {"vendor_id\t: GenuineIntel\ncpu family\t: six\nmodel\t: -3\n", QVProcessorUnknown},
      {"vendor_id\t: CentaurHauls\ncpu family\t: 6\nmodel\t: 15\n", QVProcessorUnknown},
      {"vendor_id\t: CentaurHauls\ncpu family\t: 6\nflags\t: fpu arch_perfmon\n", QVProcessorArchPerfMon},
  };
  for (const auto& c : cases) EXPECT_EQ(processorOf(c.first.c_str()), c.second) << c.first;
  const QVMachineText::CpuInfo odd = QVMachineText::parseCpuInfo("cpu MHz\t: nan\nmodel\t: 99999999999999\n");
  EXPECT_EQ(odd.cpuMHz, 0.0);
  EXPECT_EQ(odd.model, -1);
}

TEST(QVMachineTextTest, ParsesMeminfoStatCpufreqCpuListsIntegersAndMachineNames) {
  using Text = QVMachineText;
  // /proc/meminfo and /proc/stat excerpts as the kernel prints them.
  const std::pair<const char*, uint64_t> memTotals[] = {
      {"MemTotal:       16315428 kB\nMemFree:         1262504 kB\n", 16315428ULL * 1024},
      {"MemFree:         1262504 kB\n", 0}, {"MemTotal: lots kB\n", 0}, {"MemTotal: 99999999999999999999 kB\n", 0}};
  for (const auto& c : memTotals) EXPECT_EQ(Text::parseMemTotal(c.first), c.second) << c.first;
  const std::pair<const char*, uint64_t> bootTimes[] = {
      {"cpu  1866 0 2134 1287590 282 0 43 0 0 0\nintr 181717 9 0 0\nctxt 326480\nbtime 1796497790\nprocesses 3112\n",
       1796497790ULL * 1000000000ULL},
      {"ctxt 326480\n", 0}, {"btime -5\n", 0}};
  for (const auto& c : bootTimes) EXPECT_EQ(Text::parseBootTime(c.first), c.second) << c.first;
  const std::pair<const char*, uint64_t> frequencies[] = {{"2934000\n", 2934000000ULL}, {"<unknown>\n", 0}, {"", 0}};
  for (const auto& c : frequencies) EXPECT_EQ(Text::parseCpufreqKHz(c.first), c.second) << c.first;
  const std::pair<const char*, unsigned> cpuLists[] = {{"0-1\n", 2}, {"0\n", 1}, {"0-3,8-11\n", 12},
                                                       {"3-1", 0},   {"a-b", 0}, {"", 0}};
  for (const auto& c : cpuLists) EXPECT_EQ(Text::parseCpuListCount(c.first), c.second) << c.first;
  const std::pair<const char*, int> integers[] = {{"1\n", 1}, {" 2 ", 2}, {"one", -1}, {"", -1}, {"99999999999", -1}};
  for (const auto& c : integers) EXPECT_EQ(Text::parseInteger(c.first, -1), c.second) << c.first;

  const std::tuple<const char*, const char*, bool> vendors[] = {
      {"QEMU\n", "Standard PC (Q35 + ICH9, 2009)\n", true}, {"VMware, Inc.\n", "VMware Virtual Platform\n", true},
      {"innotek GmbH\n", "VirtualBox\n", true},           {"Microsoft Corporation\n", "Virtual Machine\n", true},
      {"Microsoft Corporation\n", "Surface Laptop 4\n", false}, {"Dell Inc.\n", "PowerEdge R740\n", false},
      {"", "", false}};
  for (const auto& c : vendors) {
    EXPECT_EQ(Text::isVirtualMachineVendor(std::get<0>(c), std::get<1>(c)), std::get<2>(c)) << std::get<1>(c);
  }
  const std::pair<const char*, QVArchitecture> machines[] = {
      {"x86_64", QVArchitectureX86_64}, {"i686", QVArchitectureX86},     {"aarch64", QVArchitectureAArch64},
      {"armv7l", QVArchitectureARM},    {"ppc64le", QVArchitecturePPC64}, {"s390x", QVArchitectureUnknown}};
  for (const auto& c : machines) EXPECT_EQ(Text::architectureFromMachine(c.first), c.second) << c.first;
}

// Every value of the enumeration in core/QVMachine.h.
const QVProcessor kAllProcessors[] = {
    QVProcessorTimer,       QVProcessorArchPerfMon, QVProcessorAthlon,      QVProcessorAtom,
    QVProcessorCore,        QVProcessorCore2,       QVProcessorCoreI7,      QVProcessorP4,
    QVProcessorP4HT,        QVProcessorP6Mobile,    QVProcessorPII,         QVProcessorPIII,
    QVProcessorPPro,        QVProcessorWestmere,    QVProcessorHammer,      QVProcessorFamily10,
    QVProcessorFamily11h,   QVProcessorFamily12h,   QVProcessorFamily14h,   QVProcessorFamily15h,
    QVProcessorFamily16h,   QVProcessorPPC7450,     QVProcessorPPCE300,     QVProcessorPPCE500,
    QVProcessorPPCE500v2,   QVProcessorPPC970,      QVProcessorPPC970MP,    QVProcessorCellBE,
    QVProcessorIBMCompatV1, QVProcessorPA6T,        QVProcessorPower4,      QVProcessorPower5,
    QVProcessorPower5p,     QVProcessorPower5pp,    QVProcessorPower6,      QVProcessorPower7,
    QVProcessorARMv5,       QVProcessorARMv6,       QVProcessorARMv7,       QVProcessorMrvlPJ4,
    QVProcessorMPCore,      QVProcessorXScale1,     QVProcessorXScale2,
};

TEST(QVMachineConversionTest, ProcessorAndArchitectureStringsRoundTripAndFollowTheDriverTable) {
  for (QVProcessor processor : kAllProcessors) {
    const std::string text = ProcessorToString(processor);
    EXPECT_EQ(ProcessorFromString(text), processor) << text;
    EXPECT_NE(ProcessorToPrettyString(processor), "Unknown") << text;
  }
  EXPECT_EQ(ProcessorToString(QVProcessorUnknown), "unknown");
  EXPECT_EQ(ProcessorFromString("unknown"), QVProcessorUnknown);

  // Values from the drivers' "cpu_type" detection table; the drivers' files
  // separate with "/", and the family must match too.
  EXPECT_EQ(ProcessorToString(QVProcessorTimer), "timer");
  EXPECT_EQ(ProcessorToString(QVProcessorArchPerfMon), "i386:arch_perfmon");
  EXPECT_EQ(ProcessorToString(QVProcessorFamily10), "x86-64:family10");
  EXPECT_EQ(ProcessorToString(QVProcessorPower5pp), "ppc64:power5++");
  const std::pair<const char*, int> cases[] = {
      {"timer", 0x100},          {"x86-64:hammer", 0x17011},   {"x86-64:athlon64", 0x17011},
      {"i386:nehalem", 0x6011},  {"i386:core_i7", 0x6011},     {"arm:armv7-ca9", 0xe257},
      {"arm:armv7-common", 0xe257}, {"ppc64:970MP", 0x6021},   {"i386/westmere", 0x6111},
      {"x86-64/family15h", 0x1c011}, {"i386:bogus", QVProcessorUnknown}, {"x86-64", QVProcessorUnknown},
      {"ppc:hammer", QVProcessorUnknown}, {"", QVProcessorUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProcessorFromString(c.first), c.second) << c.first;
  }
  for (QVProcessor processor : {QVProcessorArchPerfMon, QVProcessorCore2, QVProcessorAtom, QVProcessorCoreI7,
                                QVProcessorWestmere}) {
    EXPECT_TRUE(ProcessorHasArchPerfMon(processor)) << ProcessorToString(processor);
  }
  for (QVProcessor processor : {QVProcessorTimer, QVProcessorUnknown, QVProcessorP4, QVProcessorPIII,
                                QVProcessorCore, QVProcessorFamily10, QVProcessorARMv7}) {
    EXPECT_FALSE(ProcessorHasArchPerfMon(processor)) << ProcessorToString(processor);
  }

  for (QVArchitecture architecture : {QVArchitectureX86, QVArchitecturePPC, QVArchitecturePPC64,
                                      QVArchitectureARM, QVArchitectureX86_64, QVArchitectureAArch64}) {
    EXPECT_EQ(ArchitectureFromString(ArchitectureToString(architecture)), architecture);
    EXPECT_EQ(ArchitectureFromString(ArchitectureToPrettyString(architecture)), architecture);
  }
  EXPECT_EQ(ArchitectureToString(QVArchitectureX86_64), "x86_64");
  EXPECT_EQ(ArchitectureToPrettyString(QVArchitectureX86_64), "x86-64");
  EXPECT_EQ(ArchitectureToString(QVArchitectureUnknown), "unknown");
  EXPECT_EQ(ArchitectureFromString("i686"), QVArchitectureX86);
  EXPECT_EQ(ArchitectureFromString("nonsense"), QVArchitectureUnknown);
}

// Writes a fixture tree and points the readers at it.
class MachineFixture {
 public:
  MachineFixture() {
    write("proc/cpuinfo", kXeonX5570);
    write("proc/meminfo", "MemTotal:        2048000 kB\n");
    write("proc/stat", "cpu  1 2 3 4\nbtime 1300000000\n");
    write("proc/sys/kernel/kptr_restrict", "2\n");
    write("sys/devices/system/cpu/possible", "0-7\n");
    write("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "2934000\n");
    write("sys/class/dmi/id/sys_vendor", "Dell Inc.\n");
    write("sys/class/dmi/id/product_name", "PowerEdge R710\n");
  }
  const std::string& root() const { return scratch_.path(); }
  void write(const std::string& relative, const std::string& text) {
    test::WriteWholeFile(scratch_.file(relative), text);
  }

 private:
  test::ScratchDirectory scratch_{"qvmachine"};
};

TEST(QVMachineLocalTest, ReadsFactsThroughTheFixtureRoot) {
  MachineFixture fixture;
  {
    QVSystemPaths::ScopedRoot root(fixture.root());
    EXPECT_EQ(LocalMachineProcessorType(), QVProcessorCoreI7);
    EXPECT_EQ(LocalMachineProcessorCount(), 8u);
    EXPECT_EQ(LocalMachineProcessorFrequency(), 2934000000ULL);
    EXPECT_EQ(LocalMachineBootTime(), 1300000000ULL * 1000000000ULL);
    EXPECT_FALSE(LocalMachineIsVM());
    EXPECT_EQ(QVMachineInfo::currentMachineInfo()->memorySize(), 2048000ULL * 1024);
    EXPECT_EQ(GetRestrictedKernelPointers(), 2);
    EXPECT_TRUE(SetRestrictedKernelPointers(0));
    EXPECT_EQ(GetRestrictedKernelPointers(), 0);
  }
  {
    // Without cpufreq the frequency comes from cpuinfo; a hypervisor flag
    // marks a virtual machine.
    MachineFixture other;
    ASSERT_TRUE(FileRemove(other.root() + "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"));
    other.write("proc/cpuinfo", kXeonE5_2680 + std::string("cpu MHz\t\t: 2700.000\n"));
    QVSystemPaths::ScopedRoot root(other.root());
    EXPECT_EQ(LocalMachineProcessorFrequency(), 2700000000ULL);
    EXPECT_TRUE(LocalMachineIsVM());
    EXPECT_EQ(LocalMachineProcessorType(), QVProcessorArchPerfMon);
  }
  {
    // An empty root: nothing readable gives the documented fallbacks.
    test::ScratchDirectory empty("qvmachine-empty");
    QVSystemPaths::ScopedRoot root(empty.path());
    EXPECT_EQ(LocalMachineProcessorFrequency(), 0u);
    EXPECT_EQ(LocalMachineBootTime(), 0u);
    EXPECT_EQ(GetRestrictedKernelPointers(), -1);
    EXPECT_EQ(LocalMachineProcessorType(), QVProcessorUnknown);
    EXPECT_GE(LocalMachineProcessorCount(), 1u) << "falls back to what the C library knows";
  }
}

TEST(QVMachineLocalTest, LiveValuesAreSane) {
  ASSERT_TRUE(QVSystemPaths::root().empty());
  EXPECT_GT(CompareVersions(LocalMachineKernelVersion(), "2.6.0"), 0);
#if defined(__x86_64__)
  EXPECT_EQ(LocalMachineArchitecture(), QVArchitectureX86_64);
#endif
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_GE(LocalMachineProcessorCount(), static_cast<unsigned>(online));

  const uint64_t hertz = LocalMachineProcessorFrequency();
  if (hertz != 0) {
    EXPECT_GT(hertz, 100000000u);    // 100 MHz
    EXPECT_LT(hertz, 10000000000u);  // 10 GHz
  }
  // Booted after 2000-01-01 (946684800 s) and before now.
  const uint64_t boot = LocalMachineBootTime();
  EXPECT_GT(boot, 946684800ULL * 1000000000ULL);
  EXPECT_LT(boot, UniversalTimeToNanos(CurrentUniversalTime()));

  EXPECT_GT(QVMachineInfo::currentMachineInfo()->memorySize(), 64ULL << 20);
  const int restricted = GetRestrictedKernelPointers();
  EXPECT_GE(restricted, 0);
  EXPECT_LE(restricted, 2);
}

}  // namespace
}  // namespace Quorvel
