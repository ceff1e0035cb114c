#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "ids/QVFileId.h"
#include "ranges/QVRange.h"

namespace Quorvel {

class QVModule;
class QVSection;
class QVSymbol;
class QVSymbolSource;

// One frame of a sampled call stack: an address and what it resolves to in
// the sampled process. Concrete frames take their answers from a symbol
// source (a process), so a frame is only as good as the process model
// behind it. Lookups that find nothing give null pointers and an empty range.
//
// Two frames are equal when their addresses are; what they resolve to plays
// no part, so frames of different stacks and sources compare sensibly.
class QVAbstractCallFrame {
 public:
  virtual ~QVAbstractCallFrame() = default;

  virtual uint64_t address() const = 0;
  // Whether the frame is a caller: its address is a return address, the
  // instruction after the call. Innermost frames are not.
  virtual bool isCaller() const { return false; }
  // Where the frame's symbol, section, module and line are looked up. A
  // caller is looked up at its return address minus one, inside the call
  // instruction, as debuggers do: the call may be its function's last
  // instruction (a call to a function that never returns), and the return
  // address then already belongs to the next function; and the line is the
  // call's, not the statement after it. The stored address stays as unwound.
  uint64_t lookupAddress() const { return isCaller() && address() > 0 ? address() - 1 : address(); }
  // The symbol holding the address, with its absolute address range.
  virtual const std::shared_ptr<QVSymbol>& symbol(QVRange<uint64_t>& range) const = 0;
  // The section holding the address, with the address range it occupies.
  virtual const std::shared_ptr<QVSection>& section(QVRange<uint64_t>& range) const = 0;
  virtual const std::shared_ptr<QVModule>& module() const = 0;
  // The source file of the address (invalid when unknown); line is set only
  // when a file is found.
  virtual QVFileId sourceLocation(int& line) const = 0;

  // Writes, in this order and each only when asked for and known: the
  // address (always, unless it is hidden and a named symbol stands in for
  // it), the symbol's name, its size, its printable attributes, " @" with
  // the source file and line, and the module's name in brackets.
  virtual void getDescription(std::ostream& os, bool showAddress, bool showName, bool demangle, bool showSize,
                              bool showSymbolInfoA, bool showSymbolInfoB, bool showFile, bool showLine,
                              bool showModule) const;

  // What stream output writes: address, name, demangled, module. Frames
  // that stand for shared, already resolved positions may hide the address.
  virtual void getDefaultDescription(std::ostream& os) const;

  bool operator==(const QVAbstractCallFrame& other) const { return address() == other.address(); }
  bool operator!=(const QVAbstractCallFrame& other) const { return !(*this == other); }

 protected:
  QVAbstractCallFrame() = default;
  QVAbstractCallFrame(const QVAbstractCallFrame&) = default;
  QVAbstractCallFrame& operator=(const QVAbstractCallFrame&) = default;

  // The lookups every frame kind makes through its stack's or archiver's
  // source: with no source, null pointers and an empty range.
  const std::shared_ptr<QVSymbol>& _symbolFromSource(const QVSymbolSource* source, QVRange<uint64_t>& range) const;
  const std::shared_ptr<QVSection>& _sectionFromSource(const QVSymbolSource* source, QVRange<uint64_t>& range) const;
  // The registered module of the frame's section.
  const std::shared_ptr<QVModule>& _moduleFromSource(const QVSymbolSource* source) const;
  // The frame's offset into its symbol, looked up in the symbol's line
  // information; the invalid file id when either is missing.
  QVFileId _sourceLocationFromSource(const QVSymbolSource* source, int& line) const;
};

std::ostream& operator<<(std::ostream& os, const QVAbstractCallFrame& frame);

}  // namespace Quorvel
