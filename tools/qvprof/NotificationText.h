#pragma once

#include <iosfwd>
#include <string>

namespace Quorvel {

class QVErrorManager;
class QVErrorMessageProvider;

namespace qvprof {

// Writes the notification identifiers a recording or driver collected,
// each with the message text its owner gives for it. Errors come first,
// then warnings, each in the order collected:
//   <prefix>error <Identifier>: <first line of the text>
//   <continuation lines as the owner wrote them>
class NotificationText {
 public:
  // Returns the number of identifiers written.
  static size_t write(std::ostream& os, const QVErrorMessageProvider& provider, const QVErrorManager& ids,
                      const std::string& prefix);
  // The text of one identifier; "(no message for this identifier)" when
  // the provider does not know it.
  static std::string errorText(const QVErrorMessageProvider& provider, const std::string& id);
  static std::string warningText(const QVErrorMessageProvider& provider, const std::string& id);
};

}  // namespace qvprof
}  // namespace Quorvel
