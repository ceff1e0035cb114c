#pragma once

#include <cstdint>
#include <string>

#include "calltree/QVCallTree.h"

namespace Quorvel {

class QVAbstractCallFrame;

// How reports and exports write one call frame. Names are demangled;
// whatever cannot be resolved reads "[unknown]", never an empty string, so
// columns stay parseable.
class QVFrameText {
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

  // What a call-tree node of this frame stands for at a granularity, as the
  // text report labels it: unknown symbols, modules and files carry the
  // address, because the tree keeps such frames apart by address. A null
  // frame reads "[unknown]".
  static std::string nodeLabel(const QVAbstractCallFrame* frame, QVCallTree::Granularity granularity);
  // The name of what the frame stands for, comparable across sessions: no
  // address ever (unknown symbols read "[unknown] (MODULE)", which groups
  // them by module), and the function alone at symbol granularity. Used by
  // flame-graph stacks and session diffs, where a recording's load
  // addresses must not tell equal functions apart.
  static std::string functionLabel(const QVAbstractCallFrame* frame, QVCallTree::Granularity granularity);
};

}  // namespace Quorvel
