#pragma once

#include <iosfwd>
#include <string>

namespace Quorvel {

// The base of classes that own notification identifiers and can turn them
// into text for the user. A subclass answers its own ids and falls back to
// its parent class for the rest.
class QVErrorMessageProvider {
 public:
  virtual ~QVErrorMessageProvider();

  // Writes the message of an error or warning id and returns true; returns
  // false, writing nothing, for an id this class does not know.
  virtual bool getErrorMessage(std::ostream& os, const std::string& id) const;
  virtual bool getWarningMessage(std::ostream& os, const std::string& id) const;
};

}  // namespace Quorvel
