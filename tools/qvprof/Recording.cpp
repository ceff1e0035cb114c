#include "Recording.h"

#include "DriverCatalog.h"
#include "PerfRecording.h"
#include "ProcessRecording.h"
#include "QVProfileRecording.h"

namespace Quorvel {
namespace qvprof {

bool Recording::targetExited(const QVErrorManager&) const { return false; }

std::string Recording::noSamplesReason(const QVErrorManager&) const { return std::string(); }

const std::vector<Recording::Kind>& Recording::kinds() {
  static const std::vector<Kind> kinds = {
      {DriverCatalog::ProcessDriver, &Recording::make<ProcessRecording>},
      {PerfRecording::DriverName, &Recording::make<PerfRecording>},
      {"qvprofile", &Recording::make<QVProfileRecording>},
      {"oprofile", &Recording::make<OprofileRecording>},
  };
  return kinds;
}

bool Recording::canRecordWith(const std::string& driver) {
  for (const Kind& kind : kinds()) {
    if (kind.driver == driver) return true;
  }
  return false;
}

std::unique_ptr<Recording> Recording::create(const RecordCommand::Settings& settings,
                                             const std::shared_ptr<QVSessionConfig>& config, pid_t pid) {
  for (const Kind& kind : kinds()) {
    if (kind.driver == settings.driver) return kind.create(settings, config, pid);
  }
  return nullptr;
}

}  // namespace qvprof
}  // namespace Quorvel
