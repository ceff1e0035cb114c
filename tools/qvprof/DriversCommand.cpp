#include "DriversCommand.h"

#include <algorithm>
#include <ostream>

#include "base/QVErrorManager.h"
#include "DriverCatalog.h"
#include "drivers/QVProfileDriver.h"
#include "notify/QVNotifyDriver.h"
#include "LogOptions.h"
#include "NotificationText.h"

namespace Quorvel {
namespace qvprof {

Arguments DriversCommand::arguments() const {
  return Arguments(name(),
                   "Lists the profile drivers, marks the one 'qvprof record' uses by default with '*',\n"
                   "and prints the environment errors and warnings of the drivers with their texts,\n"
                   "then the process-exit notification driver and its state.",
                   LogOptions::options());
}

void DriversCommand::writeDrivers(std::ostream& out) {
  const std::vector<DriverCatalog::Entry> entries = DriverCatalog::entries();
  const std::string defaultName = DriverCatalog::defaultRecordingDriver();
  size_t width = 0;
  for (const auto& entry : entries) width = std::max(width, entry.name.size());

  out << "Profile drivers:\n";
  for (const auto& entry : entries) {
    out << (entry.name == defaultName ? "* " : "  ") << entry.name << std::string(width - entry.name.size() + 2, ' ')
        << (entry.available ? "available    " : "unavailable  ") << entry.description;
    if (entry.available && !entry.canRecord) out << " (qvprof record cannot use it yet)";
    out << '\n';
  }
  out << "\nDefault driver: " << defaultName << "\n";

  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  DriverCatalog::processEnvironment(errors, warnings);
  out << "\nEnvironment of the " << DriverCatalog::ProcessDriver << " driver:\n";
  for (const auto& text : errors) out << "  error: " << text << '\n';
  for (const auto& text : warnings) out << "  warning: " << text << '\n';
  if (errors.empty() && warnings.empty()) out << "  no problems found\n";

  // The library's own choice among its kernel back-ends, which reports the
  // machine-wide problems (no driver, conflicting drivers, power management)
  // as notification identifiers.
  const std::shared_ptr<QVProfileDriver> kernelDriver = QVProfileDriver::defaultDriver();
  if (kernelDriver) {
    QVErrorManager ids;
    kernelDriver->getEnvironmentErrors(ids, false);
    out << "\nEnvironment of the kernel profile driver " << kernelDriver->name() << " ("
        << kernelDriver->identifier() << "):\n";
    if (NotificationText::write(out, *kernelDriver, ids, "  ") == 0) out << "  no problems found\n";
  }

  // Short-lived processes keep their names only with this driver running.
  const std::shared_ptr<QVNotifyDriver> notifyDriver = QVNotifyDriver::defaultDriver();
  if (notifyDriver) {
    QVErrorManager ids;
    notifyDriver->getEnvironmentErrors(ids, false);
    out << "\nProcess-exit notification driver " << notifyDriver->name() << " (" << notifyDriver->identifier()
        << "): " << (notifyDriver->isAvailable() ? "available, " : "unavailable, ")
        << (notifyDriver->isLoaded() ? "loaded" : "not loaded") << "\n";
    if (NotificationText::write(out, *notifyDriver, ids, "  ") == 0) out << "  no problems found\n";
  }
}

int DriversCommand::_execute(const Arguments& /*arguments*/, std::ostream& out, std::ostream& /*err*/) {
  writeDrivers(out);
  out.flush();
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
