#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace Quorvel {

// Collects the notification identifiers of problems meant for the user
// ("QVSamplerWarningBufferOverflow"). Each id is kept once, in the order it
// was first set. Back-end threads set ids while the caller's thread reads
// them, so every operation takes the manager's own lock.
class QVErrorManager {
 public:
  QVErrorManager() = default;
  // Copies under the source's lock.
  QVErrorManager(const QVErrorManager& other);
  QVErrorManager& operator=(const QVErrorManager& other);
  ~QVErrorManager() = default;

  void setErrorId(const std::string& id);
  void setWarningId(const std::string& id);
  bool testErrorId(const std::string& id) const;
  bool testWarningId(const std::string& id) const;
  size_t errorCount() const;
  size_t warningCount() const;
  // Snapshots, in the order first set.
  std::vector<std::string> errorIds() const;
  std::vector<std::string> warningIds() const;
  void clear();

  // Appends the other manager's ids that this one does not hold yet, keeping
  // the other's order after this one's.
  QVErrorManager& operator+=(const QVErrorManager& other);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> errorIds_;
  std::vector<std::string> warningIds_;
};

}  // namespace Quorvel
