#include "system/QVSystemPaths.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace Quorvel {

namespace {

std::shared_mutex& rootMutex() {
  static std::shared_mutex mutex;
  return mutex;
}

std::atomic<uint64_t> rootGeneration{0};

std::string& rootStorage() {
  static std::string root;
  return root;
}

// Matches whole leading components only, so "/procfs" or "/etcetera" stay put.
bool isRedirected(const std::string& path) {
  static const char* const kTrees[] = {"/proc", "/sys", "/dev",           "/lib",       "/boot",
                                       "/etc",  "/run", "/usr/lib/debug", "/usr/share", "/opt"};
  for (const char* tree : kTrees) {
    const std::string prefix(tree);
    if (path.compare(0, prefix.size(), prefix) == 0 &&
        (path.size() == prefix.size() || path[prefix.size()] == '/')) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string QVSystemPaths::path(const std::string& absolutePath) {
  std::shared_lock<std::shared_mutex> lock(rootMutex());
  const std::string& root = rootStorage();
  if (root.empty() || !isRedirected(absolutePath)) {
    return absolutePath;
  }
  return root + absolutePath;
}

void QVSystemPaths::setRoot(const std::string& root) {
  std::string trimmed = root;
  while (!trimmed.empty() && trimmed.back() == '/') {
    trimmed.pop_back();
  }
  std::unique_lock<std::shared_mutex> lock(rootMutex());
  rootStorage() = trimmed;
  rootGeneration.fetch_add(1, std::memory_order_release);
}

void QVSystemPaths::clearRoot() { setRoot(std::string()); }

std::string QVSystemPaths::root() {
  std::shared_lock<std::shared_mutex> lock(rootMutex());
  return rootStorage();
}

uint64_t QVSystemPaths::generation() { return rootGeneration.load(std::memory_order_acquire); }

QVSystemPaths::ScopedRoot::ScopedRoot(const std::string& root) : previous_(QVSystemPaths::root()) {
  QVSystemPaths::setRoot(root);
}

QVSystemPaths::ScopedRoot::~ScopedRoot() { QVSystemPaths::setRoot(previous_); }

}  // namespace Quorvel
