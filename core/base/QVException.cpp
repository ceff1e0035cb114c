#include "base/QVException.h"

#include <iostream>
#include <utility>

#include "base/QVLog.h"
#include "base/QVStackTrace.h"

namespace Quorvel {

QVException::QVException(std::string message, int line, std::string sourceFile)
    : message_(std::move(message)),
      line_(line),
      sourceFile_(std::move(sourceFile)),
      // Whoever raised the exception is the first frame worth reading.
      stackTrace_(QVStackTrace::dropLeadingFrames(QVStackTrace::capture(), "Quorvel::QVException::QVException(")) {}

void QVException::printStackTrace() const { printStackTrace(std::cerr); }

void QVException::printStackTrace(std::ostream& os) const {
  os << message_ << " at " << sourceFile_ << ":" << line_ << '\n';
  if (!stackTrace_.empty()) {
    os << "Stack Trace: " << stackTrace_ << '\n';
  }
  os.flush();
}

void LogException(const QVException& exception) {
  QV_ERROR(exception.message() << " at " << exception.sourceFile() << ":" << exception.line()
                               << (exception.stackTrace().empty() ? "" : "\nStack Trace: ")
                               << exception.stackTrace());
}

}  // namespace Quorvel
