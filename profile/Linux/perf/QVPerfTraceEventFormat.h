#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace Quorvel {

// One field of a tracepoint's raw data as its format file declares it.
class QVPerfTraceEventField {
 public:
  QVPerfTraceEventField() = default;
  QVPerfTraceEventField(std::string name, std::string type, std::uint64_t offset, std::uint64_t length,
                        bool isSigned)
      : name(std::move(name)), type(std::move(type)), offset(offset), length(length), isSigned(isSigned) {}
  virtual ~QVPerfTraceEventField() = default;

  void getDescription(std::ostream& os) const;

  std::string name;  // as declared, arrays keep their bracket part
  std::string type;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool isSigned = false;
};

// A tracepoint's layout, parsed from a tracing "format" file. Construction
// throws QVException when the file cannot be opened or a field line cannot
// be parsed; field reads check every offset against the data they are given.
class QVPerfTraceEventFormat {
 public:
  explicit QVPerfTraceEventFormat(const std::string& path);
  QVPerfTraceEventFormat(std::istream& in, const std::string& path);
  virtual ~QVPerfTraceEventFormat() = default;

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  std::uint64_t id() const { return id_; }
  const std::vector<QVPerfTraceEventField>& fields() const { return fields_; }
  const std::string& printFormat() const { return printFormat_; }

  int indexOfField(const std::string& name) const;
  int indexOfFieldRegex(const std::string& pattern) const;

  bool readStringField(int index, const std::uint8_t* data, std::uint64_t length, std::string& out) const;
  bool readIntegerField(int index, const std::uint8_t* data, std::uint64_t length, std::int64_t& out) const;
  template <typename T>
  bool readIntegerField(int index, const std::uint8_t* data, std::uint64_t length, T& out) const {
    std::int64_t value = 0;
    if (!readIntegerField(index, data, length, value)) return false;
    out = static_cast<T>(value);
    return true;
  }

  void getDescription(std::ostream& os) const;

 private:
  void _parse(std::istream& in);
  bool _checkFieldAtIndex(int index, const std::uint8_t* data, std::uint64_t length) const;

  std::string path_;
  std::string name_;
  std::uint64_t id_ = 0;
  std::vector<QVPerfTraceEventField> fields_;
  std::string printFormat_;
};

}  // namespace Quorvel
