#include "base/QVErrorManager.h"

#include <algorithm>

namespace Quorvel {

namespace {

// Sessions raise a handful of distinct ids, so a scan beats keeping a set
// beside each vector.
bool Contains(const std::vector<std::string>& ids, const std::string& id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

void AddOnce(std::vector<std::string>& ids, const std::string& id) {
  if (!Contains(ids, id)) {
    ids.push_back(id);
  }
}

}  // namespace

QVErrorManager::QVErrorManager(const QVErrorManager& other) {
  std::lock_guard<std::mutex> lock(other.mutex_);
  errorIds_ = other.errorIds_;
  warningIds_ = other.warningIds_;
}

QVErrorManager& QVErrorManager::operator=(const QVErrorManager& other) {
  if (this != &other) {
    std::scoped_lock lock(mutex_, other.mutex_);
    errorIds_ = other.errorIds_;
    warningIds_ = other.warningIds_;
  }
  return *this;
}

void QVErrorManager::setErrorId(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddOnce(errorIds_, id);
}

void QVErrorManager::setWarningId(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddOnce(warningIds_, id);
}

bool QVErrorManager::testErrorId(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Contains(errorIds_, id);
}

bool QVErrorManager::testWarningId(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Contains(warningIds_, id);
}

size_t QVErrorManager::errorCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errorIds_.size();
}

size_t QVErrorManager::warningCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return warningIds_.size();
}

std::vector<std::string> QVErrorManager::errorIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errorIds_;
}

std::vector<std::string> QVErrorManager::warningIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return warningIds_;
}

void QVErrorManager::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  errorIds_.clear();
  warningIds_.clear();
}

QVErrorManager& QVErrorManager::operator+=(const QVErrorManager& other) {
  // Snapshot first: taking both locks at once would deadlock on `m += m`,
  // and two managers appended to each other from two threads.
  const std::vector<std::string> errors = other.errorIds();
  const std::vector<std::string> warnings = other.warningIds();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& id : errors) {
    AddOnce(errorIds_, id);
  }
  for (const std::string& id : warnings) {
    AddOnce(warningIds_, id);
  }
  return *this;
}

}  // namespace Quorvel
