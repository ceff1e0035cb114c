// Feeds arbitrary bytes to the parsers of /proc/loadavg, /proc/vmstat,
// /proc/diskstats and /proc/net/dev: every input must end in records and
// issues, never in a crash, a read out of bounds or a hang.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "proc/QVProcCounterParsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using Quorvel::QVProcCounterParsers;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)QVProcCounterParsers::parseLoadavg(text);
  (void)QVProcCounterParsers::parseNameValues(text);
  (void)QVProcCounterParsers::parseDiskstats(text);
  (void)QVProcCounterParsers::parseNetDev(text);
  return 0;
}
