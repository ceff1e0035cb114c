#include "symbols/QVSymbolSourceMap.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"

namespace Quorvel {

namespace {

// One file's entry in a document.
class FileEntry : public QVArchivable {
 public:
  FileEntry(const QVFileId& file, const QVSymbolSourceMap::Table& table) : file_(file), table_(table) {}

  void encodeWithArchiver(QVArchiver* archiver) const override {
    std::string text;
    table_.forEachInOrder([&text](const auto* node) {
      if (!text.empty()) {
        text += ' ';
      }
      text += std::to_string(node->key.location);
      text += ':';
      text += std::to_string(node->key.length);
      text += ':';
      text += std::to_string(node->value);
    });
    archiver->encodeObject(file_, "FileId");
    archiver->encodeString(text, "Ranges");
  }

 private:
  const QVFileId& file_;
  const QVSymbolSourceMap::Table& table_;
};

// Reads a decimal int in [minimum, INT_MAX] at *cursor, which must be
// followed by `terminator` (or the end of the text when it is 0).
bool ReadNumber(const char*& cursor, char terminator, long minimum, int& out) {
  if (*cursor < '0' || *cursor > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(cursor, &end, 10);
  if (errno != 0 || value < minimum || value > INT_MAX) {
    return false;
  }
  if (terminator != 0 ? *end != terminator : (*end != ' ' && *end != '\0')) {
    return false;
  }
  out = static_cast<int>(value);
  cursor = end;
  return true;
}

}  // namespace

void QVSymbolSourceMap::addLine(const QVFileId& file, const QVRange<int>& offsets, int line) {
  if (offsets.length <= 0 || offsets.location < 0 || line < 1 || !file.isValid()) {
    return;
  }
  offsetTables_[file].insert(offsets, line);
  Table& lines = lineTables_[file];
  if (auto* node = lines.findContainingInDisjoint(line)) {
    if (offsets.location < node->value) {
      node->value = offsets.location;
    }
  } else {
    lines.insert(QVRange<int>(line, 1), offsets.location);
  }
}

bool QVSymbolSourceMap::lineForOffset(int offset, QVFileId& file, int& line) const {
  for (const auto& entry : offsetTables_) {
    if (const auto* node = entry.second.findContaining(offset)) {
      file = entry.first;
      line = node->value;
      return true;
    }
  }
  file = QVFileId();
  line = 0;
  return false;
}

bool QVSymbolSourceMap::offsetForLine(const QVFileId& file, int line, int& offset) const {
  auto found = lineTables_.find(file);
  if (found == lineTables_.end()) {
    return false;
  }
  const auto* node = found->second.findContainingInDisjoint(line);
  if (node == nullptr) {
    return false;
  }
  offset = node->value;
  return true;
}

void QVSymbolSourceMap::copyFrom(const QVSymbolSourceMap& other) {
  if (&other == this) {
    return;
  }
  clear();
  for (const auto& entry : other.offsetTables_) {
    entry.second.forEachInOrder([this, &entry](const auto* node) { addLine(entry.first, node->key, node->value); });
  }
}

void QVSymbolSourceMap::clear() {
  offsetTables_.clear();
  lineTables_.clear();
}

void QVSymbolSourceMap::encodeWithArchiver(QVArchiver* archiver) const {
  for (const auto& entry : offsetTables_) {
    archiver->encodeObjectNoShare(FileEntry(entry.first, entry.second), "File");
  }
}

void QVSymbolSourceMap::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  clear();
  while (unarchiver->hasValueForKey("File")) {
    unarchiver->enterElement("File");
    std::shared_ptr<QVFileId> file;
    unarchiver->decodeObjectForKey("FileId", file);
    std::string text;
    unarchiver->decodeString("Ranges", text);
    unarchiver->leaveElement("File");
    const char* cursor = text.c_str();
    while (*cursor != '\0') {
      int location = 0;
      int length = 0;
      int line = 0;
      if (!ReadNumber(cursor, ':', 0, location) || !ReadNumber(++cursor, ':', 1, length) ||
          !ReadNumber(++cursor, 0, 1, line)) {
        throw QVException("malformed source line ranges for " + file->path() + ": \"" + text + "\"", __LINE__,
                          __FILE__);
      }
      addLine(*file, QVRange<int>(location, length), line);
      if (*cursor == ' ') {
        ++cursor;
      }
    }
  }
}

}  // namespace Quorvel
