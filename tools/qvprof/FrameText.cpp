#include "FrameText.h"

#include <cstdio>

#include "samples/QVAbstractCallFrame.h"
#include "symbols/QVModule.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
namespace qvprof {

const char* const FrameText::Unknown = "[unknown]";

std::string FrameText::hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string FrameText::symbolName(const QVAbstractCallFrame& frame) {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = frame.symbol(range);
  if (!symbol || symbol->name().empty()) return Unknown;
  return symbol->demangledName();
}

std::string FrameText::symbolWithOffset(const QVAbstractCallFrame& frame) {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = frame.symbol(range);
  if (!symbol || symbol->name().empty()) return Unknown;
  // The range is absolute, so the offset needs no knowledge of where the
  // module was loaded.
  const uint64_t address = frame.address();
  const uint64_t offset = address >= range.location ? address - range.location : 0;
  return symbol->demangledName() + "+0x" + hex(offset);
}

std::string FrameText::modulePath(const QVAbstractCallFrame& frame) {
  const std::shared_ptr<QVModule>& module = frame.module();
  if (!module) return Unknown;
  if (!module->path().empty()) return module->path();
  return module->name().empty() ? Unknown : module->name();
}

std::string FrameText::moduleName(const QVAbstractCallFrame& frame) {
  const std::shared_ptr<QVModule>& module = frame.module();
  if (!module) return Unknown;
  if (!module->name().empty()) return module->name();
  const std::string& path = module->path();
  if (path.empty()) return Unknown;
  return PathBaseName(path);
}

std::string FrameText::sourceLine(const QVAbstractCallFrame& frame, bool withLine) {
  int line = 0;
  const QVFileId file = frame.sourceLocation(line);
  if (!file.isValid() || file.path().empty()) return Unknown;
  return withLine ? file.path() + ":" + std::to_string(line) : file.path();
}

std::string FrameText::scriptLine(const QVAbstractCallFrame& frame) {
  return "\t" + hex(frame.address()) + " " + symbolWithOffset(frame) + " (" + modulePath(frame) + ")";
}

}  // namespace qvprof
}  // namespace Quorvel
