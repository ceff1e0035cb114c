#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "samples/QVContextTenure.h"

namespace Quorvel {

// A scheduler time slice of a thread: when it ran, why it stopped running,
// and at which priority.
class QVAbstractThreadTenure : public QVContextTenure {
 public:
  // Why the slice ended. Values outside the table are kept as given and
  // describe themselves as unknown.
  enum EndReason : uint32_t {
    EndReasonUnknown = 0,
    EndReasonPreempted = 1,
    EndReasonYield = 2,
    EndReasonSleep = 3,
    EndReasonExit = 4,
  };

  using QVContextTenure::QVContextTenure;
  ~QVAbstractThreadTenure() override;

  virtual void setEndReason(EndReason reason) = 0;
  virtual EndReason endReason() const = 0;
  virtual void setPriority(int priority) = 0;
  virtual int priority() const = 0;
  // "Thread Tenure - cpu:<processor> tid:<native tid> duration:<ticks>ticks
  // endReason:<word>".
  virtual void getDescription(std::ostream& os) const;

  // "Unknown", "Preempted", "Yield", "Sleep", "Exit"; "Unknown" outside the table.
  static const char* endReasonDescription(EndReason reason);
  // 'X', 'P', 'Y', 'S', 'E'; 'X' outside the table.
  static char endReasonArchiveChar(EndReason reason);
  // The inverse of endReasonArchiveChar; an unknown character gives 0.
  static EndReason endReasonFromArchiveChar(char character);
};

std::ostream& operator<<(std::ostream& os, const QVAbstractThreadTenure& tenure);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractThreadTenure>& tenure);

}  // namespace Quorvel
