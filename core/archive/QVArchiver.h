#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include <boost/date_time/posix_time/ptime.hpp>

#include "archive/QVArchivable.h"

namespace Quorvel {

// Writes one keyed document. Every value is an element named by its key,
// nested objects and lists are elements holding their own keys, and
// attributes belong to the element most recently opened (the object being
// encoded, or the document root).
//
// The first element encoded at the top level becomes the document root;
// finish() closes it and flushes. Failures of the underlying stream, or a
// second top-level element, raise QVException.
//
// Strings carry any byte but NUL exactly. Text that XML 1.0 cannot hold raw
// (control characters, carriage returns, invalid UTF-8) is written with a
// reversible escape that the matching unarchiver undoes.
class QVArchiver {
 public:
  struct Options {
    bool compress = false;        // gzip the whole document
    bool shareObjects = true;     // number QVUniqueArchivable objects with objid/objref
    bool indent = false;          // one element a line, indented by depth
  };

  virtual ~QVArchiver() = default;

  // The two settings handed over by a session (its second flag first).
  virtual void setShareObjects(bool share) = 0;
  virtual void setIndent(bool indent) = 0;

  virtual void encodeBool(bool value, std::string_view key) = 0;
  virtual void encodeChar(char value, std::string_view key) = 0;
  virtual void encodeTime(const boost::posix_time::ptime& value, std::string_view key) = 0;
  virtual void encodeString(std::string_view value, std::string_view key) = 0;
  virtual void encodeData(const void* bytes, size_t length, std::string_view key) = 0;
  virtual void encodeObject(const QVArchivable& object, std::string_view key) = 0;
  // Encodes an object that is never shared, even when it is unique-archivable.
  virtual void encodeObjectNoShare(const QVArchivable& object, std::string_view key) = 0;
  virtual void encodeAttribute(std::string_view value, std::string_view name) = 0;
  virtual void encodeCharString(const char* text, std::string_view key) = 0;
  // Flushes what is buffered to the stream.
  virtual void flush() = 0;
  virtual void beginList(std::string_view key) = 0;
  virtual void endList(std::string_view key) = 0;

  // Closes the root element and flushes; further encoding raises.
  virtual void finish() = 0;

  // Numbers are text: unsigned as "0x%llx", signed as "%lld", doubles as "%.10f".
  void encodeUnsigned(uint64_t value, std::string_view key);
  void encodeSigned(int64_t value, std::string_view key);
  void encodeDouble(double value, std::string_view key);

  // An XML archiver over a stream the caller keeps open until finish().
  static std::unique_ptr<QVArchiver> createArchiver(std::ostream& stream, const Options& options);
  static std::unique_ptr<QVArchiver> createArchiver(std::ostream& stream);
};

}  // namespace Quorvel
