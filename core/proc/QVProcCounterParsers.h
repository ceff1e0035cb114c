#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proc/QVProcParseResult.h"

namespace Quorvel {

// /proc/loadavg: "0.52 0.58 0.59 2/345 12345".
struct QVProcLoadavg {
  std::array<double, 3> averages{};  // 1, 5 and 15 minutes
  uint64_t runnable = 0;
  uint64_t tasks = 0;
  uint64_t lastPid = 0;
};

// One line of /proc/diskstats. Sector counts are in the kernel's fixed
// 512-byte units whatever the device's own sector size; times are in
// milliseconds.
struct QVProcDiskstat {
  uint32_t major = 0;
  uint32_t minor = 0;
  std::string name;
  uint64_t reads = 0;
  uint64_t readsMerged = 0;
  uint64_t sectorsRead = 0;
  uint64_t readMillis = 0;
  uint64_t writes = 0;
  uint64_t writesMerged = 0;
  uint64_t sectorsWritten = 0;
  uint64_t writeMillis = 0;
  uint64_t inFlight = 0;
  uint64_t ioMillis = 0;
};

// One interface line of /proc/net/dev.
struct QVProcNetDev {
  std::string name;
  uint64_t receiveBytes = 0;
  uint64_t receivePackets = 0;
  uint64_t receiveErrors = 0;
  uint64_t receiveDrops = 0;
  uint64_t sendBytes = 0;
  uint64_t sendPackets = 0;
  uint64_t sendErrors = 0;
  uint64_t sendDrops = 0;
};

// Parsers of the system-wide counter files the metric sources read. Each
// keeps every well-formed record and reports the others as issues; none
// throws on any input.
class QVProcCounterParsers {
 public:
  static constexpr uint64_t kDiskSectorSize = 512;

  static std::optional<QVProcLoadavg> parseLoadavg(std::string_view text, std::string_view* reason = nullptr);
  // "name value" lines (/proc/vmstat).
  static std::map<std::string, uint64_t> parseNameValues(std::string_view text,
                                                         std::vector<QVProcParseIssue>* issues = nullptr);
  static QVProcParseResult<QVProcDiskstat> parseDiskstats(std::string_view text);
  // The two header lines are recognised by their '|' separators and skipped.
  static QVProcParseResult<QVProcNetDev> parseNetDev(std::string_view text);

  QVProcCounterParsers() = delete;
};

}  // namespace Quorvel
