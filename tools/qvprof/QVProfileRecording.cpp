#include "QVProfileRecording.h"

#include <dirent.h>

#include <ostream>
#include <string>

#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "Linux/oprofile/QVSamplerLinuxOprofile.h"
#include "LogCapture.h"
#include "NotificationText.h"
#include "base/QVErrorManager.h"
#include "base/QVException.h"
#include "notify/QVNotificationIds.h"

namespace Quorvel {
namespace qvprof {

QVProfileRecording::QVProfileRecording(const RecordCommand::Settings& settings,
                                       const std::shared_ptr<QVSessionConfig>& config, pid_t pid)
    : QVProfileRecording(settings, std::make_shared<QVSamplerLinuxQVProfile>(config), "qvprofile", pid) {}

QVProfileRecording::QVProfileRecording(const RecordCommand::Settings& settings,
                                       const std::shared_ptr<QVSamplerLinuxQVProfile>& sampler,
                                       const std::string& driverName, pid_t pid)
    : SamplerRecording(sampler, pid), driverName_(driverName) {
  sampler_->setCollectCallStacks(settings.callStacks);
}

OprofileRecording::OprofileRecording(const RecordCommand::Settings& settings,
                                     const std::shared_ptr<QVSessionConfig>& config, pid_t pid)
    : QVProfileRecording(settings, std::make_shared<QVSamplerLinuxOprofile>(config), "oprofile", pid) {}

void QVProfileRecording::start(std::ostream& err) {
  LogCapture capture;
  if (!sampler_->start()) {
    QVErrorManager ids;
    sampler_->getSessionErrors(ids, false);
    NotificationText::write(err, *sampler_, ids, "qvprof: ");
    const std::string reason = capture.lastError();
    throw QVException("cannot start recording with the " + driverName_ + " driver" +
                          (reason.empty() ? "" : ": " + reason),
                      __LINE__, __FILE__);
  }
}

uint64_t QVProfileRecording::sampleCount() { return sampler_->bufferedSampleCount(); }

size_t QVProfileRecording::threadCount() {
  if (pid_ <= 0) return 0;
  DIR* tasks = ::opendir(("/proc/" + std::to_string(pid_) + "/task").c_str());
  if (!tasks) return 0;
  size_t count = 0;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(tasks);
  return count;
}

std::string QVProfileRecording::noSamplesReason(const QVErrorManager& ids) const {
  if (ids.testErrorId(QVSamplerErrorInsufficientSamples)) {
    return "the " + driverName_ + " driver delivered too few records to decode";
  }
  return std::string();
}

}  // namespace qvprof
}  // namespace Quorvel
