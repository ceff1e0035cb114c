#include "cpufreq/QVCpuFreqState.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "output/QVFileReplacement.h"
#include "proc/QVTextReader.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

namespace {

const char* const kHeader = "cpufreq-state 1";
const char* const kNoGovernor = "-";

bool readKeyedNumber(QVTextReader& fields, std::string_view key, uint64_t& value) {
  std::string_view word;
  if (!fields.nextField(word) || word != key) return false;
  const std::optional<uint64_t> number = fields.nextUnsigned();
  if (!number) return false;
  value = *number;
  return true;
}

bool decodeLine(std::string_view line, QVCpuFreqState::Entry& entry) {
  QVTextReader fields(line);
  std::string_view word;
  uint64_t index = 0;
  if (!readKeyedNumber(fields, "cpu", index) || index > QVCpuFreqState::kMaxIndex) return false;
  if (!fields.nextField(word) || word != "governor" || !fields.nextField(word)) return false;
  entry.index = static_cast<unsigned>(index);
  entry.settings.governor = word == kNoGovernor ? std::string() : std::string(word);
  return readKeyedNumber(fields, "min", entry.settings.minimum) &&
         readKeyedNumber(fields, "max", entry.settings.maximum) &&
         readKeyedNumber(fields, "user", entry.settings.user) && fields.atEndOfLine();
}

}  // namespace

std::string QVCpuFreqState::encode(const std::vector<Entry>& entries) {
  std::ostringstream text;
  text << kHeader << '\n';
  for (const Entry& entry : entries) {
    const std::string& governor = entry.settings.governor;
    const bool plain = !governor.empty() && governor.find_first_of(" \t\r\n\v\f") == std::string::npos;
    text << "cpu " << entry.index << " governor " << (plain ? governor : kNoGovernor) << " min "
         << entry.settings.minimum << " max " << entry.settings.maximum << " user " << entry.settings.user << '\n';
  }
  return text.str();
}

bool QVCpuFreqState::decode(std::string_view text, std::vector<Entry>& entries) {
  entries.clear();
  QVTextReader lines(text);
  std::string_view line;
  bool wellFormed = false;
  if (lines.nextLine(line) && QVTextReader::trim(line) == kHeader) {
    wellFormed = true;
  } else {
    // Without its header the file is suspect, but a line that parses is
    // still a setting worth restoring.
    lines = QVTextReader(text);
  }
  while (lines.nextLine(line)) {
    if (QVTextReader::trim(line).empty()) continue;
    Entry entry;
    if (decodeLine(line, entry)) {
      entries.push_back(entry);
    } else {
      wellFormed = false;
    }
  }
  return wellFormed;
}

bool QVCpuFreqState::write(const std::string& path, const std::vector<Entry>& entries, std::string& error) {
  QVFileReplacement file(path);
  if (!file.open()) {
    error = file.error();
    return false;
  }
  const std::string text = encode(entries);
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(file.fd(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = path + ": " + std::strerror(n < 0 ? errno : EIO);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (!file.commit()) {
    error = file.error();
    return false;
  }
  return true;
}

bool QVCpuFreqState::read(const std::string& path, std::vector<Entry>& entries, std::string& error) {
  entries.clear();
  std::string text;
  if (!FileReadString(path, text)) {
    error = path + ": cannot be read";
    return false;
  }
  if (!decode(text, entries)) {
    error = path + ": malformed";
    return false;
  }
  return true;
}

}  // namespace Quorvel
