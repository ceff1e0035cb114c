#include "LogCapture.h"

#include <sstream>

#include "base/QVLog.h"

namespace Quorvel {
namespace qvprof {

LogCapture::LogCapture() { StartCaptureLog(); }

LogCapture::~LogCapture() { stop(); }

const std::string& LogCapture::stop() {
  if (active_) {
    StopCaptureLog(text_);
    active_ = false;
  }
  return text_;
}

std::string LogCapture::lastError() { return lastErrorIn(stop()); }

namespace {

// The messages of the lines of text logged at one of the levels.
std::vector<std::string> messagesAt(const std::string& text, const std::vector<std::string>& levels) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    for (const std::string& level : levels) {
      if (line.compare(0, level.size(), level) != 0) continue;
      std::string message = line.substr(level.size());
      // Lines end in " [source:line]".
      const size_t source = message.rfind(" [");
      if (source != std::string::npos && !message.empty() && message.back() == ']') message.erase(source);
      found.push_back(message);
    }
  }
  return found;
}

}  // namespace

std::string LogCapture::lastErrorIn(const std::string& text) {
  const std::vector<std::string> errors = messagesAt(text, {"ERROR "});
  return errors.empty() ? std::string() : errors.back();
}

std::vector<std::string> LogCapture::problemsIn(const std::string& text) {
  return messagesAt(text, {"WARNING ", "ERROR "});
}

}  // namespace qvprof
}  // namespace Quorvel
