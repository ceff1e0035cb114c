// Feeds arbitrary bytes to the parsers of /proc/<pid>/maps, /proc/kallsyms,
// /proc/modules, /proc/meminfo, /proc/stat, /proc/<pid>/stat and
// /proc/<pid>/status: the kernel's text is trusted by none of them, since a
// fixture root or a foreign kernel can put anything there. Every input must
// end in records and issues, never in a crash, a read out of bounds or a hang.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "proc/QVProcKallsymsParser.h"
#include "proc/QVProcMapsParser.h"
#include "proc/QVProcMeminfoParser.h"
#include "proc/QVProcModulesParser.h"
#include "proc/QVProcStatParser.h"
#include "proc/QVProcTaskStatParser.h"
#include "proc/QVProcTaskStatusParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace Quorvel;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)QVProcMapsParser::parse(text);
  (void)QVProcKallsymsParser::parse(text);
  QVProcKallsymsParser::forEach(text, [](const QVProcKallsymsEntry&) {});
  (void)QVProcModulesParser::parse(text);
  (void)QVProcMeminfoParser::parse(text);
  (void)QVProcStatParser::parse(text);
  (void)QVProcTaskStatParser::parse(text);
  (void)QVProcTaskStatusParser::parse(text);
  return 0;
}
