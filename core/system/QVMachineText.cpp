#include "system/QVMachineText.h"

#include <errno.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace Quorvel {

namespace {

// A whole, trimmed decimal (or 0x hex) number; false for anything else,
// including overflow.
bool parseUnsigned(const std::string& raw, uint64_t& value) {
  const std::string text = boost::algorithm::trim_copy(raw);
  if (text.empty() || text[0] == '-' || text[0] == '+') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    return false;
  }
  value = parsed;
  return true;
}

// Splits "key<tab>: value" lines; false for lines without a colon.
bool splitField(const std::string& line, std::string& key, std::string& value) {
  const std::string::size_type colon = line.find(':');
  if (colon == std::string::npos) {
    return false;
  }
  key = boost::algorithm::trim_copy(line.substr(0, colon));
  value = boost::algorithm::trim_copy(line.substr(colon + 1));
  return true;
}

int fieldInteger(const std::string& value) {
  uint64_t parsed = 0;
  return parseUnsigned(value, parsed) && parsed <= 0x7fffffff ? static_cast<int>(parsed) : -1;
}

bool hasFlag(const QVMachineText::CpuInfo& info, const char* flag) { return info.flags.count(flag) != 0; }

bool contains(std::initializer_list<int> models, int model) {
  for (int m : models) {
    if (m == model) {
      return true;
    }
  }
  return false;
}

QVProcessor intelProcessor(const QVMachineText::CpuInfo& info) {
  const int model = info.model;
  if (info.family == 6) {
    if (model == 0x01) return QVProcessorPPro;
    if (contains({0x03, 0x05, 0x06}, model)) return QVProcessorPII;
    if (contains({0x07, 0x08, 0x0a, 0x0b}, model)) return QVProcessorPIII;
    if (contains({0x09, 0x0d}, model)) return QVProcessorP6Mobile;
    if (model == 0x0e) return QVProcessorCore;
    if (contains({0x0f, 0x16, 0x17, 0x1d}, model)) return QVProcessorCore2;
    if (contains({0x1c, 0x26, 0x27, 0x35, 0x36}, model)) return QVProcessorAtom;
    if (contains({0x1a, 0x1e, 0x1f, 0x2e}, model)) return QVProcessorCoreI7;
    if (contains({0x25, 0x2c, 0x2f}, model)) return QVProcessorWestmere;
  } else if (info.family == 0xf) {
    // Hyper-threading is in use when a package lists more siblings than
    // cores; the "ht" flag alone only says the package could do it.
    const bool threads = info.siblings > 0 && info.cores > 0 && info.siblings > info.cores;
    return threads ? QVProcessorP4HT : QVProcessorP4;
  }
  return QVProcessorUnknown;
}

QVProcessor amdProcessor(const QVMachineText::CpuInfo& info) {
  switch (info.family) {
    case 0x6:
      return QVProcessorAthlon;
    case 0xf:
      return QVProcessorHammer;
    case 0x10:
      return QVProcessorFamily10;
    case 0x11:
      return QVProcessorFamily11h;
    case 0x12:
      return QVProcessorFamily12h;
    case 0x14:
      return QVProcessorFamily14h;
    case 0x15:
      return QVProcessorFamily15h;
    case 0x16:
      return QVProcessorFamily16h;
    default:
      // Zen and later keep the six-counter core performance-counter layout
      // that family 15h introduced, which makes 15h their closest relative.
      return info.family > 0x16 ? QVProcessorFamily15h : QVProcessorUnknown;
  }
}

}  // namespace

QVMachineText::CpuInfo QVMachineText::parseCpuInfo(const std::string& text) {
  CpuInfo info;
  std::istringstream lines(text);
  std::string line;
  std::string key;
  std::string value;
  while (std::getline(lines, line)) {
    if (!splitField(line, key, value)) {
      continue;
    }
    if (key == "processor") {
      ++info.processorCount;
      continue;
    }
    // Later processors repeat the fields; the first one speaks for all.
    if (info.processorCount > 1) {
      continue;
    }
    if (key == "vendor_id" && info.vendor.empty()) {
      info.vendor = value;
    } else if (key == "cpu family" && info.family < 0) {
      info.family = fieldInteger(value);
    } else if (key == "model" && info.model < 0) {
      info.model = fieldInteger(value);
    } else if (key == "siblings" && info.siblings < 0) {
      info.siblings = fieldInteger(value);
    } else if (key == "cpu cores" && info.cores < 0) {
      info.cores = fieldInteger(value);
    } else if (key == "cpu MHz" && info.cpuMHz == 0.0) {
      char* end = nullptr;
      const double mhz = std::strtod(value.c_str(), &end);
      if (end != value.c_str() && std::isfinite(mhz) && mhz > 0.0) {
        info.cpuMHz = mhz;
      }
    } else if (key == "flags" && info.flags.empty()) {
      std::istringstream words(value);
      std::string word;
      while (words >> word) {
        info.flags.insert(word);
      }
    }
  }
  return info;
}

QVProcessor QVMachineText::processorFromCpuInfo(const CpuInfo& info) {
  QVProcessor processor = QVProcessorUnknown;
  if (info.vendor == "GenuineIntel") {
    processor = intelProcessor(info);
  } else if (info.vendor == "AuthenticAMD" || info.vendor == "HygonGenuine") {
    processor = amdProcessor(info);
  }
  if (processor == QVProcessorUnknown && hasFlag(info, "arch_perfmon")) {
    processor = QVProcessorArchPerfMon;
  }
  return processor;
}

uint64_t QVMachineText::parseMemTotal(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::string key;
    std::string value;
    if (!splitField(line, key, value) || key != "MemTotal") {
      continue;
    }
    std::istringstream fields(value);
    std::string number;
    std::string unit;
    fields >> number >> unit;
    uint64_t amount = 0;
    if (!parseUnsigned(number, amount)) {
      return 0;
    }
    // The kernel always writes kB (meaning KiB); a bare number is bytes.
    const uint64_t scale = unit.empty() ? 1 : (unit == "kB" ? 1024 : 0);
    if (scale == 0 || amount > UINT64_MAX / scale) {
      return 0;
    }
    return amount * scale;
  }
  return 0;
}

uint64_t QVMachineText::parseBootTime(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!boost::algorithm::starts_with(line, "btime ")) {
      continue;
    }
    uint64_t seconds = 0;
    if (!parseUnsigned(line.substr(6), seconds) || seconds > UINT64_MAX / 1000000000ULL) {
      return 0;
    }
    return seconds * 1000000000ULL;
  }
  return 0;
}

uint64_t QVMachineText::parseCpufreqKHz(const std::string& text) {
  uint64_t kilohertz = 0;
  if (!parseUnsigned(text, kilohertz) || kilohertz > UINT64_MAX / 1000) {
    return 0;
  }
  return kilohertz * 1000;
}

unsigned QVMachineText::parseCpuListCount(const std::string& text) {
  std::vector<std::string> ranges;
  const std::string trimmed = boost::algorithm::trim_copy(text);
  if (trimmed.empty()) {
    return 0;
  }
  boost::algorithm::split(ranges, trimmed, [](char c) { return c == ','; });
  uint64_t highest = 0;
  for (const std::string& range : ranges) {
    const std::string::size_type dash = range.find('-');
    uint64_t first = 0;
    uint64_t last = 0;
    if (!parseUnsigned(range.substr(0, dash), first)) {
      return 0;
    }
    last = first;
    if (dash != std::string::npos && (!parseUnsigned(range.substr(dash + 1), last) || last < first)) {
      return 0;
    }
    highest = std::max(highest, last);
  }
  // A bound far beyond any machine means garbage, not a processor list.
  return highest < 65536 ? static_cast<unsigned>(highest + 1) : 0;
}

int QVMachineText::parseInteger(const std::string& raw, int fallback) {
  const std::string text = boost::algorithm::trim_copy(raw);
  if (text.empty()) {
    return fallback;
  }
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
    return fallback;
  }
  return static_cast<int>(value);
}

bool QVMachineText::isVirtualMachineVendor(const std::string& rawVendor, const std::string& rawProduct) {
  const std::string vendor = boost::algorithm::trim_copy(rawVendor);
  const std::string product = boost::algorithm::trim_copy(rawProduct);
  static const char* const kHypervisorVendors[] = {"QEMU", "VMware", "innotek", "Xen", "Parallels",
                                                   "Bochs", "BHYVE", "KVM", "Google"};
  for (const char* prefix : kHypervisorVendors) {
    if (boost::algorithm::istarts_with(vendor, prefix)) {
      return true;
    }
  }
  // Hyper-V guests share their vendor with Microsoft's own hardware.
  return boost::algorithm::istarts_with(vendor, "Microsoft") && product == "Virtual Machine";
}

QVArchitecture QVMachineText::architectureFromMachine(const std::string& machine) {
  if (machine == "x86_64" || machine == "amd64") {
    return QVArchitectureX86_64;
  }
  if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0) {
    return QVArchitectureX86;
  }
  if (machine == "aarch64" || machine == "arm64") {
    return QVArchitectureAArch64;
  }
  if (boost::algorithm::starts_with(machine, "arm")) {
    return QVArchitectureARM;
  }
  if (machine == "ppc64" || machine == "ppc64le") {
    return QVArchitecturePPC64;
  }
  if (machine == "ppc") {
    return QVArchitecturePPC;
  }
  return QVArchitectureUnknown;
}

}  // namespace Quorvel
