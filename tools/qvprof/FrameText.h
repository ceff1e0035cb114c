#pragma once

#include <cstdint>
#include <string>

namespace Quorvel {

class QVAbstractCallFrame;

namespace qvprof {

// How qvprof writes one call frame. Names are demangled; whatever cannot be
// resolved reads "[unknown]", never an empty string, so columns stay
// parseable.
class FrameText {
 public:
  static const char* const Unknown;  // "[unknown]"

  // The demangled symbol name, or "[unknown]".
  static std::string symbolName(const QVAbstractCallFrame& frame);
  // "name+0x1f" (offset of the address into its symbol), or "[unknown]".
  static std::string symbolWithOffset(const QVAbstractCallFrame& frame);
  // The module's path (its name when it has no path), or "[unknown]".
  static std::string modulePath(const QVAbstractCallFrame& frame);
  // The module's short name (file name), or "[unknown]".
  static std::string moduleName(const QVAbstractCallFrame& frame);
  // "file:line" of the address, "file" without a line, or "[unknown]".
  static std::string sourceLine(const QVAbstractCallFrame& frame, bool withLine);
  // Lower-case hexadecimal without "0x".
  static std::string hex(uint64_t value);
  // "<TAB>ADDRESS SYMBOL+0xOFFSET (MODULE)": one frame line of a script.
  static std::string scriptLine(const QVAbstractCallFrame& frame);
};

}  // namespace qvprof
}  // namespace Quorvel
