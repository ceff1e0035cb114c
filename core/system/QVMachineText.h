#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "system/QVMachine.h"

namespace Quorvel {

// Pure parsers of the kernel's machine-description texts, apart from the
// reading of the files so that any text can be fed to them. Malformed or
// missing fields give the documented "unknown" values; nothing throws.
class QVMachineText {
 public:
  // What /proc/cpuinfo says about the first processor listed (and how many
  // are listed). Numbers the text lacks stay -1 (or 0 for cpuMHz).
  struct CpuInfo {
    std::string vendor;  // "GenuineIntel", "AuthenticAMD", ...
    int family = -1;
    int model = -1;
    int siblings = -1;
    int cores = -1;
    double cpuMHz = 0.0;
    std::set<std::string> flags;
    unsigned processorCount = 0;  // "processor" lines
  };

  static CpuInfo parseCpuInfo(const std::string& text);

  // The closest processor type for the vendor, family and model: the
  // specific type when the table has one, QVProcessorArchPerfMon when the
  // processor advertises "arch_perfmon", else QVProcessorUnknown.
  static QVProcessor processorFromCpuInfo(const CpuInfo& info);

  // /proc/meminfo "MemTotal" in bytes; 0 when absent.
  static uint64_t parseMemTotal(const std::string& text);
  // /proc/stat "btime" as nanoseconds since the epoch; 0 when absent.
  static uint64_t parseBootTime(const std::string& text);
  // A cpufreq "cpuinfo_max_freq" (kHz) in Hz; 0 when not a number.
  static uint64_t parseCpufreqKHz(const std::string& text);
  // The number of processor indices in a /sys cpu list such as "0-3,8-11"
  // (the highest index + 1); 0 when malformed.
  static unsigned parseCpuListCount(const std::string& text);
  // A decimal integer on its own (surrounding white space allowed);
  // `fallback` when the text is anything else.
  static int parseInteger(const std::string& text, int fallback);
  // Whether /sys/class/dmi/id sys_vendor and product_name name a
  // hypervisor.
  static bool isVirtualMachineVendor(const std::string& sysVendor, const std::string& productName);
  // uname's machine field ("x86_64", "i686", "aarch64", ...).
  static QVArchitecture architectureFromMachine(const std::string& machine);

  QVMachineText() = delete;
};

}  // namespace Quorvel
