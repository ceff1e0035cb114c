#include "Linux/perf/QVPerfTraceEventFormat.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "base/QVException.h"
#include "base/QVLog.h"

namespace Quorvel {

namespace {

std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

void QVPerfTraceEventField::getDescription(std::ostream& os) const {
  std::ios::fmtflags saved = os.flags();
  os << "name:" << name << " type:" << type << " offset:0x" << std::hex << offset << std::dec
     << " length:" << length << " signed:" << isSigned;
  os.flags(saved);
}

QVPerfTraceEventFormat::QVPerfTraceEventFormat(const std::string& path) : path_(path) {
  std::ifstream in(path);
  if (!in) throw QVException("failed to open event format at " + path, __LINE__, __FILE__);
  _parse(in);
}

QVPerfTraceEventFormat::QVPerfTraceEventFormat(std::istream& in, const std::string& path) : path_(path) {
  _parse(in);
}

void QVPerfTraceEventFormat::_parse(std::istream& in) {
  std::string line;
  for (unsigned lineNumber = 1; std::getline(in, line); ++lineNumber) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon);
    const std::string value = line.substr(colon + 1);
    if (key.find("name") != std::string::npos) {
      name_ = trim(value);
    } else if (key.find("ID") != std::string::npos) {
      id_ = std::strtoull(trim(value).c_str(), nullptr, 10);
    } else if (key.find("field") != std::string::npos) {
      char declaration[512] = {};
      unsigned offset = 0, size = 0;
      int isSigned = 0;
      int items = std::sscanf(line.c_str(), "\tfield:%511[^;];\toffset:%u;\tsize:%u;\tsigned:%d;",
                              declaration, &offset, &size, &isSigned);
      if (items != 4) {
        isSigned = 0;
        items = std::sscanf(line.c_str(), "\tfield:%511[^;];\toffset:%u;\tsize:%u;", declaration, &offset,
                            &size) == 3
                    ? 4
                    : 0;
      }
      if (items != 4)
        throw QVException("failed to parse field at line " + std::to_string(lineNumber) + " in " + path_,
                          __LINE__, __FILE__);
      const std::string text = trim(declaration);
      std::size_t split = text.find_last_of(" \t");
      std::string type = split == std::string::npos ? std::string() : trim(text.substr(0, split));
      std::string name = split == std::string::npos ? text : trim(text.substr(split));
      fields_.emplace_back(name, type, offset, size, isSigned != 0);
    } else if (key.find("print fmt") != std::string::npos) {
      printFormat_ = trim(value);
    }
  }
}

int QVPerfTraceEventFormat::indexOfField(const std::string& name) const {
  for (std::size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].name == name) return static_cast<int>(i);
  return -1;
}

int QVPerfTraceEventFormat::indexOfFieldRegex(const std::string& pattern) const {
  const std::regex expression(pattern);
  for (std::size_t i = 0; i < fields_.size(); ++i)
    if (std::regex_match(fields_[i].name, expression)) return static_cast<int>(i);
  return -1;
}

bool QVPerfTraceEventFormat::_checkFieldAtIndex(int index, const std::uint8_t*, std::uint64_t length) const {
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size()) {
    QV_ERROR("field index " << index << " of out range");
    return false;
  }
  const QVPerfTraceEventField& field = fields_[index];
  if (field.offset > length || field.length > length - field.offset) {
    std::ostringstream description;
    field.getDescription(description);
    QV_ERROR("field contents out of data range for " << description.str());
    return false;
  }
  return true;
}

bool QVPerfTraceEventFormat::readStringField(int index, const std::uint8_t* data, std::uint64_t length,
                                             std::string& out) const {
  if (!_checkFieldAtIndex(index, data, length)) return false;
  const QVPerfTraceEventField& field = fields_[index];
  const char* start = reinterpret_cast<const char*>(data + field.offset);
  out.assign(start, strnlen(start, field.length));
  return true;
}

bool QVPerfTraceEventFormat::readIntegerField(int index, const std::uint8_t* data, std::uint64_t length,
                                              std::int64_t& out) const {
  if (!_checkFieldAtIndex(index, data, length)) return false;
  const QVPerfTraceEventField& field = fields_[index];
  const std::uint8_t* at = data + field.offset;
  switch (field.length) {
    case 1: {
      std::uint8_t v;
      std::memcpy(&v, at, 1);
      out = field.isSigned ? std::int8_t(v) : std::int64_t(v);
      return true;
    }
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, at, 2);
      out = field.isSigned ? std::int16_t(v) : std::int64_t(v);
      return true;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, at, 4);
      out = field.isSigned ? std::int32_t(v) : std::int64_t(v);
      return true;
    }
    case 8: {
      std::uint64_t v;
      std::memcpy(&v, at, 8);
      out = static_cast<std::int64_t>(v);
      return true;
    }
    default: {
      std::ostringstream description;
      field.getDescription(description);
      QV_ERROR("unsupported integer field length: " << field.length << " in " << description.str());
      return false;
    }
  }
}

void QVPerfTraceEventFormat::getDescription(std::ostream& os) const {
  os << "path:" << path_ << " name:" << name_ << " - id:" << id_ << "\n";
  for (const QVPerfTraceEventField& field : fields_) {
    os << "\t";
    field.getDescription(os);
    os << "\n";
  }
  os << "\tprint fmt:" << printFormat_ << "\n";
}

}  // namespace Quorvel
