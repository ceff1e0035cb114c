#include "NotificationText.h"

#include <ostream>
#include <sstream>

#include "base/QVErrorManager.h"
#include "base/QVErrorMessageProvider.h"

namespace Quorvel {
namespace qvprof {

namespace {

const char* const kNoText = "(no message for this identifier)";

}  // namespace

std::string NotificationText::errorText(const QVErrorMessageProvider& provider, const std::string& id) {
  std::ostringstream text;
  return provider.getErrorMessage(text, id) ? text.str() : kNoText;
}

std::string NotificationText::warningText(const QVErrorMessageProvider& provider, const std::string& id) {
  std::ostringstream text;
  return provider.getWarningMessage(text, id) ? text.str() : kNoText;
}

size_t NotificationText::write(std::ostream& os, const QVErrorMessageProvider& provider, const QVErrorManager& ids,
                               const std::string& prefix) {
  size_t written = 0;
  for (const std::string& id : ids.errorIds()) {
    os << prefix << "error " << id << ": " << errorText(provider, id) << '\n';
    ++written;
  }
  for (const std::string& id : ids.warningIds()) {
    os << prefix << "warning " << id << ": " << warningText(provider, id) << '\n';
    ++written;
  }
  return written;
}

}  // namespace qvprof
}  // namespace Quorvel
