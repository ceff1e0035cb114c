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

std::string LogCapture::lastErrorIn(const std::string& text) {
  static const std::string kLevel = "ERROR ";
  std::istringstream lines(text);
  std::string line;
  std::string found;
  while (std::getline(lines, line)) {
    if (line.compare(0, kLevel.size(), kLevel) != 0) continue;
    std::string message = line.substr(kLevel.size());
    // Lines end in " [source:line]".
    const size_t source = message.rfind(" [");
    if (source != std::string::npos && !message.empty() && message.back() == ']') message.erase(source);
    found = message;
  }
  return found;
}

}  // namespace qvprof
}  // namespace Quorvel
