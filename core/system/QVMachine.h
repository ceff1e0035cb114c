#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace Quorvel {

// Processor architectures. The numbering is the library's own; values 17
// and 80 to 95 are the architectures whose compilers omit frame pointers by
// default, which decides a driver warning.
enum QVArchitecture : int {
  QVArchitectureUnknown = 0,
  QVArchitectureX86 = 16,
  QVArchitecturePPC = 32,
  QVArchitecturePPC64 = 48,
  QVArchitectureARM = 64,
  QVArchitectureX86_64 = 80,
  QVArchitectureAArch64 = 81,
};

// Processor types. Values are fixed by the kernel drivers' "cpu_type"
// detection table; 0x100 is timer-only mode and 0x110 the generic
// architectural performance-monitoring processor.
enum QVProcessor : int {
  QVProcessorUnknown = 0,
  QVProcessorTimer = 0x100,
  QVProcessorArchPerfMon = 0x110,
  // i386 family
  QVProcessorAthlon = 0x16010,
  QVProcessorAtom = 0x7011,
  QVProcessorCore = 0x4210,
  QVProcessorCore2 = 0x4511,
  QVProcessorCoreI7 = 0x6011,  // also "nehalem"
  QVProcessorP4 = 0x5010,
  QVProcessorP4HT = 0x5111,
  QVProcessorP6Mobile = 0x4110,
  QVProcessorPII = 0x4310,
  QVProcessorPIII = 0x4410,
  QVProcessorPPro = 0x4010,
  QVProcessorWestmere = 0x6111,
  // x86-64 family
  QVProcessorHammer = 0x17011,  // also "athlon64"
  QVProcessorFamily10 = 0x18011,
  QVProcessorFamily11h = 0x19011,
  QVProcessorFamily12h = 0x1a011,
  QVProcessorFamily14h = 0x1b011,
  QVProcessorFamily15h = 0x1c011,
  QVProcessorFamily16h = 0x1d011,
  // ppc
  QVProcessorPPC7450 = 0x3020,
  QVProcessorPPCE300 = 0x9120,
  QVProcessorPPCE500 = 0x9020,
  QVProcessorPPCE500v2 = 0x9220,
  // ppc64
  QVProcessorPPC970 = 0x4021,
  QVProcessorPPC970MP = 0x6021,
  QVProcessorCellBE = 0x5021,
  QVProcessorIBMCompatV1 = 0x7321,
  QVProcessorPA6T = 0xb021,
  QVProcessorPower4 = 0x4121,
  QVProcessorPower5 = 0x7021,
  QVProcessorPower5p = 0x7121,
  QVProcessorPower5pp = 0x7221,
  QVProcessorPower6 = 0x8021,
  QVProcessorPower7 = 0xa021,
  // arm
  QVProcessorARMv5 = 0xc254,
  QVProcessorARMv6 = 0xd256,
  QVProcessorARMv7 = 0xe257,  // also "armv7-ca9", "armv7-common"
  QVProcessorMrvlPJ4 = 0xe357,
  QVProcessorMPCore = 0xd156,
  QVProcessorXScale1 = 0xc054,
  QVProcessorXScale2 = 0xc154,
};

// "family:model" as the kernel drivers spell it ("x86-64:hammer",
// "i386:arch_perfmon"), "timer" for 0x100 and "unknown" for anything else.
std::string ProcessorToString(QVProcessor processor);
// The inverse of ProcessorToString, also accepting every alias of the
// detection table; unknown text gives QVProcessorUnknown.
QVProcessor ProcessorFromString(const std::string& text);
// A name for people ("Intel Core 2", "AMD Family 10h").
std::string ProcessorToPrettyString(QVProcessor processor);
// Whether the processor implements Intel's architectural performance
// monitoring (so the generic 0x110 event list applies to it).
bool ProcessorHasArchPerfMon(QVProcessor processor);

std::string ArchitectureToString(QVArchitecture architecture);  // "x86_64", "x86", ...
QVArchitecture ArchitectureFromString(const std::string& text);
std::string ArchitectureToPrettyString(QVArchitecture architecture);  // "x86-64", ...

QVArchitecture LocalMachineArchitecture();
QVProcessor LocalMachineProcessorType();
unsigned LocalMachineProcessorCount();
uint64_t LocalMachineProcessorFrequency();  // Hz; 0 when it cannot be read
std::string LocalMachineKernelVersion();    // the release, as uname -r prints it
uint64_t LocalMachineBootTime();            // nanoseconds since the Unix epoch
bool LocalMachineIsVM();

// kernel.kptr_restrict: the current value (-1 when unreadable), and setting
// it (false when not permitted).
int GetRestrictedKernelPointers();
bool SetRestrictedKernelPointers(int value);

class QVMachineInfo {
 public:
  static std::shared_ptr<const QVMachineInfo> currentMachineInfo();
  uint64_t memorySize() const { return memorySize_; }  // bytes of physical memory

  explicit QVMachineInfo(uint64_t memorySize) : memorySize_(memorySize) {}

 private:
  uint64_t memorySize_;
};

}  // namespace Quorvel
