#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quorvel {

class QVAbstractCallStackTenure;
class QVSessionProfile;

namespace qvprof {

// A session file opened for reading, with its call-stack samples. Keeps the
// profile alive, because samples walk frames that the profile's session
// data own.
class SessionSamples {
 public:
  using SampleList = std::vector<std::shared_ptr<QVAbstractCallStackTenure>>;

  // Throws QVException when the file is missing or malformed.
  explicit SessionSamples(const std::string& path);
  // Around an existing profile (a recording just collected).
  explicit SessionSamples(std::shared_ptr<QVSessionProfile> profile);

  const std::shared_ptr<QVSessionProfile>& profile() const { return profile_; }
  // In the order recorded; empty when the session has no call-stack data.
  const SampleList& samples() const;
  static const SampleList& samplesOf(const QVSessionProfile& profile);
  // The process a system-wide recording was made for (the program it ran
  // or the --pid it named), which report and script show by default; -1
  // for recordings of one process and recordings of the whole machine.
  static int64_t focusProcess(const QVSessionProfile& profile);
  // Ordered by the tick at which each stack was taken (its end tick), then
  // by its begin tick; samples taken together keep their recorded order.
  SampleList inTimeOrder() const;

 private:
  std::shared_ptr<QVSessionProfile> profile_;
};

}  // namespace qvprof
}  // namespace Quorvel
