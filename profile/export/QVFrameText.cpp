#include "export/QVFrameText.h"

#include <cstdio>

#include "samples/QVAbstractCallFrame.h"
#include "symbols/QVModule.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
const char* const QVFrameText::Unknown = "[unknown]";

std::string QVFrameText::hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string QVFrameText::symbolName(const QVAbstractCallFrame& frame) {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = frame.symbol(range);
  if (!symbol || symbol->name().empty()) return Unknown;
  return symbol->demangledName();
}

std::string QVFrameText::symbolWithOffset(const QVAbstractCallFrame& frame) {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = frame.symbol(range);
  if (!symbol || symbol->name().empty()) return Unknown;
  // The range is absolute, so the offset needs no knowledge of where the
  // module was loaded.
  const uint64_t address = frame.address();
  const uint64_t offset = address >= range.location ? address - range.location : 0;
  return symbol->demangledName() + "+0x" + hex(offset);
}

std::string QVFrameText::modulePath(const QVAbstractCallFrame& frame) {
  const std::shared_ptr<QVModule>& module = frame.module();
  if (!module) return Unknown;
  if (!module->path().empty()) return module->path();
  return module->name().empty() ? Unknown : module->name();
}

std::string QVFrameText::moduleName(const QVAbstractCallFrame& frame) {
  const std::shared_ptr<QVModule>& module = frame.module();
  if (!module) return Unknown;
  if (!module->name().empty()) return module->name();
  const std::string& path = module->path();
  if (path.empty()) return Unknown;
  return PathBaseName(path);
}

std::string QVFrameText::sourceLine(const QVAbstractCallFrame& frame, bool withLine) {
  int line = 0;
  const QVFileId file = frame.sourceLocation(line);
  if (!file.isValid() || file.path().empty()) return Unknown;
  return withLine ? file.path() + ":" + std::to_string(line) : file.path();
}

std::string QVFrameText::scriptLine(const QVAbstractCallFrame& frame) {
  return "\t" + hex(frame.address()) + " " + symbolWithOffset(frame) + " (" + modulePath(frame) + ")";
}

std::string QVFrameText::nodeLabel(const QVAbstractCallFrame* frame, QVCallTree::Granularity granularity) {
  if (!frame) return Unknown;
  const std::string address = "0x" + hex(frame->address());
  const std::string symbol = symbolName(*frame);
  const bool symbolKnown = symbol != Unknown;
  switch (granularity) {
    case QVCallTree::address:
      return address + " " + symbolWithOffset(*frame) + " (" + moduleName(*frame) + ")";
    case QVCallTree::module: {
      const std::string module = modulePath(*frame);
      // An unknown module merges by address, so the address tells the
      // nodes apart.
      return module != Unknown ? module : module + " " + address;
    }
    case QVCallTree::file:
    case QVCallTree::line: {
      const std::string where = sourceLine(*frame, granularity == QVCallTree::line);
      if (where != Unknown) {
        // A line alone rarely says where it is; its function does.
        return granularity == QVCallTree::line && symbolKnown ? where + " (" + symbol + ")" : where;
      }
      // Without line information frames merge by symbol, else by address.
      return symbolKnown ? where + " in " + symbol : where + " " + address;
    }
    case QVCallTree::symbol:
    default:
      if (!symbolKnown) return symbol + " " + address + " (" + moduleName(*frame) + ")";
      return symbol + " (" + moduleName(*frame) + ")";
  }
}

std::string QVFrameText::functionLabel(const QVAbstractCallFrame* frame, QVCallTree::Granularity granularity) {
  if (!frame) return Unknown;
  const std::string symbol = symbolName(*frame);
  const bool symbolKnown = symbol != Unknown;
  switch (granularity) {
    case QVCallTree::address:
      return nodeLabel(frame, granularity);
    case QVCallTree::module:
      return modulePath(*frame);
    case QVCallTree::file:
    case QVCallTree::line: {
      const std::string where = sourceLine(*frame, granularity == QVCallTree::line);
      if (where != Unknown) return granularity == QVCallTree::line && symbolKnown ? where + " (" + symbol + ")" : where;
      return symbolKnown ? where + " in " + symbol : where + " (" + moduleName(*frame) + ")";
    }
    case QVCallTree::symbol:
    default:
      return symbolKnown ? symbol : symbol + " (" + moduleName(*frame) + ")";
  }
}

}  // namespace Quorvel
