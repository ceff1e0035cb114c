#include "proc/QVProcMeminfoParser.h"

#include <limits>

#include "proc/QVTextReader.h"

namespace Quorvel {

QVProcMeminfo QVProcMeminfoParser::parse(std::string_view text) {
  QVProcMeminfo info;
  QVTextReader lines(text);
  std::string_view line;
  std::size_t lineNumber = 0;
  while (lines.nextLine(line)) {
    ++lineNumber;
    if (QVTextReader::trim(line).empty()) {
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      info.issues.emplace_back(lineNumber, line, "no name");
      continue;
    }
    std::string_view name = QVTextReader::trim(line.substr(0, colon));
    QVTextReader reader(line.substr(colon + 1));
    std::optional<uint64_t> value = reader.nextUnsigned();
    if (!value) {
      info.issues.emplace_back(lineNumber, line, "bad value");
      continue;
    }
    std::string_view unit;
    if (reader.nextField(unit)) {
      if (unit != "kB" || !reader.atEndOfLine()) {
        info.issues.emplace_back(lineNumber, line, "unknown unit");
        continue;
      }
      if (*value > std::numeric_limits<uint64_t>::max() / 1024) {
        info.issues.emplace_back(lineNumber, line, "value too large");
        continue;
      }
      *value *= 1024;
    }
    info.values[std::string(name)] = *value;
  }
  return info;
}

}  // namespace Quorvel
