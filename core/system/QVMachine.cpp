#include "system/QVMachine.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <functional>
#include <mutex>

#include "base/QVLog.h"
#include "system/QVFileUtils.h"
#include "system/QVMachineText.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

struct ProcessorName {
  QVProcessor processor;
  const char* family;
  const char* model;  // the first entry of a processor is its canonical name
  const char* pretty;
};

// The kernel drivers' "cpu_type" names, aliases after the canonical entry.
const ProcessorName kProcessorNames[] = {
    {QVProcessorArchPerfMon, "i386", "arch_perfmon", "Intel Architectural Performance Monitoring"},
    {QVProcessorAthlon, "i386", "athlon", "AMD Athlon"},
    {QVProcessorAtom, "i386", "atom", "Intel Atom"},
    {QVProcessorCore, "i386", "core", "Intel Core"},
    {QVProcessorCore2, "i386", "core_2", "Intel Core 2"},
    {QVProcessorCoreI7, "i386", "core_i7", "Intel Core i7"},
    {QVProcessorCoreI7, "i386", "nehalem", nullptr},
    {QVProcessorP4, "i386", "p4", "Intel Pentium 4"},
    {QVProcessorP4HT, "i386", "p4-ht", "Intel Pentium 4 with Hyper-Threading"},
    {QVProcessorP6Mobile, "i386", "p6_mobile", "Intel Pentium M"},
    {QVProcessorPII, "i386", "pii", "Intel Pentium II"},
    {QVProcessorPIII, "i386", "piii", "Intel Pentium III"},
    {QVProcessorPPro, "i386", "ppro", "Intel Pentium Pro"},
    {QVProcessorWestmere, "i386", "westmere", "Intel Westmere"},
    {QVProcessorHammer, "x86-64", "hammer", "AMD Athlon 64"},
    {QVProcessorHammer, "x86-64", "athlon64", nullptr},
    {QVProcessorFamily10, "x86-64", "family10", "AMD Family 10h"},
    {QVProcessorFamily11h, "x86-64", "family11h", "AMD Family 11h"},
    {QVProcessorFamily12h, "x86-64", "family12h", "AMD Family 12h"},
    {QVProcessorFamily14h, "x86-64", "family14h", "AMD Family 14h"},
    {QVProcessorFamily15h, "x86-64", "family15h", "AMD Family 15h"},
    {QVProcessorFamily16h, "x86-64", "family16h", "AMD Family 16h"},
    {QVProcessorPPC7450, "ppc", "7450", "PowerPC 7450"},
    {QVProcessorPPCE300, "ppc", "e300", "PowerPC e300"},
    {QVProcessorPPCE500, "ppc", "e500", "PowerPC e500"},
    {QVProcessorPPCE500v2, "ppc", "e500v2", "PowerPC e500v2"},
    {QVProcessorPPC970, "ppc64", "970", "PowerPC 970"},
    {QVProcessorPPC970MP, "ppc64", "970MP", "PowerPC 970MP"},
    {QVProcessorCellBE, "ppc64", "cell-be", "Cell Broadband Engine"},
    {QVProcessorIBMCompatV1, "ppc64", "ibm-compat-v1", "IBM Compatibility Mode v1"},
    {QVProcessorPA6T, "ppc64", "pa6t", "PA Semi PA6T"},
    {QVProcessorPower4, "ppc64", "power4", "IBM POWER4"},
    {QVProcessorPower5, "ppc64", "power5", "IBM POWER5"},
    {QVProcessorPower5p, "ppc64", "power5+", "IBM POWER5+"},
    {QVProcessorPower5pp, "ppc64", "power5++", "IBM POWER5++"},
    {QVProcessorPower6, "ppc64", "power6", "IBM POWER6"},
    {QVProcessorPower7, "ppc64", "power7", "IBM POWER7"},
    {QVProcessorARMv5, "arm", "armv5", "ARMv5"},
    {QVProcessorARMv6, "arm", "armv6", "ARMv6"},
    {QVProcessorARMv7, "arm", "armv7", "ARMv7"},
    {QVProcessorARMv7, "arm", "armv7-ca9", nullptr},
    {QVProcessorARMv7, "arm", "armv7-common", nullptr},
    {QVProcessorMrvlPJ4, "arm", "mrvl_pj4", "Marvell PJ4"},
    {QVProcessorMPCore, "arm", "mpcore", "ARM MPCore"},
    {QVProcessorXScale1, "arm", "xscale1", "Intel XScale 1"},
    {QVProcessorXScale2, "arm", "xscale2", "Intel XScale 2"},
};

const ProcessorName* canonicalName(QVProcessor processor) {
  for (const ProcessorName& name : kProcessorNames) {
    if (name.processor == processor) {
      return &name;
    }
  }
  return nullptr;
}

struct ArchitectureName {
  QVArchitecture architecture;
  const char* name;
  const char* pretty;
};

const ArchitectureName kArchitectureNames[] = {
    {QVArchitectureX86, "x86", "x86"},         {QVArchitecturePPC, "ppc", "PowerPC"},
    {QVArchitecturePPC64, "ppc64", "PowerPC 64"}, {QVArchitectureARM, "arm", "ARM"},
    {QVArchitectureX86_64, "x86_64", "x86-64"}, {QVArchitectureAArch64, "aarch64", "AArch64"},
};

std::string readSystemFile(const std::string& absolutePath) {
  std::string text;
  FileReadString(QVSystemPaths::path(absolutePath), text);
  return text;
}

// A machine fact read once per fixture root: the files do not change while
// the machine runs, but tests point the readers at other roots.
template <class T>
class CachedFact {
 public:
  explicit CachedFact(std::function<T()> compute) : compute_(std::move(compute)) {}

  T get() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t generation = QVSystemPaths::generation();
    if (!valid_ || generation != generation_) {
      value_ = compute_();
      generation_ = generation;
      valid_ = true;
    }
    return value_;
  }

 private:
  std::function<T()> compute_;
  std::mutex mutex_;
  T value_{};
  uint64_t generation_ = 0;
  bool valid_ = false;
};

QVMachineText::CpuInfo localCpuInfo() { return QVMachineText::parseCpuInfo(readSystemFile("/proc/cpuinfo")); }

struct utsname localUname() {
  struct utsname names;
  if (::uname(&names) != 0) {
    names.machine[0] = '\0';
    names.release[0] = '\0';
  }
  return names;
}

}  // namespace

std::string ProcessorToString(QVProcessor processor) {
  if (processor == QVProcessorTimer) {
    return "timer";
  }
  const ProcessorName* name = canonicalName(processor);
  return name ? std::string(name->family) + ":" + name->model : "unknown";
}

QVProcessor ProcessorFromString(const std::string& text) {
  if (text == "timer") {
    return QVProcessorTimer;
  }
  // The drivers' "cpu_type" files separate family and model with "/" (the
  // last one); the library's own form uses ":".
  const std::string::size_type separator = text.find_last_of(":/");
  if (separator == std::string::npos) {
    return QVProcessorUnknown;
  }
  const std::string family = text.substr(0, separator);
  const std::string model = text.substr(separator + 1);
  for (const ProcessorName& name : kProcessorNames) {
    if (family == name.family && model == name.model) {
      return name.processor;
    }
  }
  return QVProcessorUnknown;
}

std::string ProcessorToPrettyString(QVProcessor processor) {
  if (processor == QVProcessorTimer) {
    return "Timer";
  }
  const ProcessorName* name = canonicalName(processor);
  return name ? name->pretty : "Unknown";
}

bool ProcessorHasArchPerfMon(QVProcessor processor) {
  switch (processor) {
    case QVProcessorArchPerfMon:
    case QVProcessorCore2:
    case QVProcessorAtom:
    case QVProcessorCoreI7:
    case QVProcessorWestmere:
      return true;
    default:
      return false;
  }
}

std::string ArchitectureToString(QVArchitecture architecture) {
  for (const ArchitectureName& name : kArchitectureNames) {
    if (name.architecture == architecture) {
      return name.name;
    }
  }
  return "unknown";
}

QVArchitecture ArchitectureFromString(const std::string& text) {
  for (const ArchitectureName& name : kArchitectureNames) {
    if (text == name.name || text == name.pretty) {
      return name.architecture;
    }
  }
  // Also what uname reports ("i686", "amd64", "armv7l", ...).
  return QVMachineText::architectureFromMachine(text);
}

std::string ArchitectureToPrettyString(QVArchitecture architecture) {
  for (const ArchitectureName& name : kArchitectureNames) {
    if (name.architecture == architecture) {
      return name.pretty;
    }
  }
  return "Unknown";
}

QVArchitecture LocalMachineArchitecture() {
  static const QVArchitecture architecture = QVMachineText::architectureFromMachine(localUname().machine);
  return architecture;
}

QVProcessor LocalMachineProcessorType() {
  static CachedFact<QVProcessor> fact([] { return QVMachineText::processorFromCpuInfo(localCpuInfo()); });
  return fact.get();
}

unsigned LocalMachineProcessorCount() {
  static CachedFact<unsigned> fact([] {
    // Indices of processors that may ever come online, which is the range
    // per-processor tables must cover.
    unsigned count = QVMachineText::parseCpuListCount(readSystemFile("/sys/devices/system/cpu/possible"));
    if (count == 0) {
      count = localCpuInfo().processorCount;
    }
    if (count == 0) {
      const long configured = ::sysconf(_SC_NPROCESSORS_CONF);
      count = configured > 0 ? static_cast<unsigned>(configured) : 1;
    }
    return count;
  });
  return fact.get();
}

uint64_t LocalMachineProcessorFrequency() {
  static CachedFact<uint64_t> fact([] {
    const uint64_t hertz =
        QVMachineText::parseCpufreqKHz(readSystemFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"));
    if (hertz != 0) {
      return hertz;
    }
    return static_cast<uint64_t>(localCpuInfo().cpuMHz * 1e6 + 0.5);
  });
  return fact.get();
}

std::string LocalMachineKernelVersion() {
  static const std::string release = localUname().release;
  return release;
}

uint64_t LocalMachineBootTime() {
  static CachedFact<uint64_t> fact([] { return QVMachineText::parseBootTime(readSystemFile("/proc/stat")); });
  return fact.get();
}

bool LocalMachineIsVM() {
  static CachedFact<bool> fact([] {
    if (localCpuInfo().flags.count("hypervisor") != 0) {
      return true;
    }
    return QVMachineText::isVirtualMachineVendor(readSystemFile("/sys/class/dmi/id/sys_vendor"),
                                                 readSystemFile("/sys/class/dmi/id/product_name"));
  });
  return fact.get();
}

int GetRestrictedKernelPointers() {
  std::string text;
  if (!FileReadString(QVSystemPaths::path("/proc/sys/kernel/kptr_restrict"), text)) {
    return -1;
  }
  return QVMachineText::parseInteger(text, -1);
}

bool SetRestrictedKernelPointers(int value) {
  const std::string path = QVSystemPaths::path("/proc/sys/kernel/kptr_restrict");
  if (!FileWriteString(path, std::to_string(value) + "\n")) {
    QV_DEBUG("unable to set " << path << " to " << value);
    return false;
  }
  return true;
}

std::shared_ptr<const QVMachineInfo> QVMachineInfo::currentMachineInfo() {
  static CachedFact<std::shared_ptr<const QVMachineInfo>> fact([] {
    return std::make_shared<const QVMachineInfo>(QVMachineText::parseMemTotal(readSystemFile("/proc/meminfo")));
  });
  return fact.get();
}

}  // namespace Quorvel
