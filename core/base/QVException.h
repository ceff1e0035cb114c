#pragma once

#include <exception>
#include <iosfwd>
#include <string>

namespace Quorvel {

// A structural error: a duplicate id, a failed verification, a malformed
// document. Carries where it was raised and the call stack at that point.
// Problems meant for the user are never thrown; they travel as notification
// identifiers in a QVErrorManager.
class QVException : public std::exception {
 public:
  QVException(std::string message, int line, std::string sourceFile);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  int line() const noexcept { return line_; }
  const std::string& sourceFile() const noexcept { return sourceFile_; }
  // One demangled frame a line, innermost first; empty when unavailable.
  const std::string& stackTrace() const noexcept { return stackTrace_; }

  void printStackTrace() const;  // to stderr
  void printStackTrace(std::ostream& os) const;

 private:
  std::string message_;
  int line_;
  std::string sourceFile_;
  std::string stackTrace_;
};

// Logs a caught exception as ERROR: the message, " at " file ":" line, then
// "Stack Trace: " and the trace when it carries one.
void LogException(const QVException& exception);

}  // namespace Quorvel
