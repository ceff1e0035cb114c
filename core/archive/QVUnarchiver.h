#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "archive/QVUnarchivable.h"
#include "base/QVException.h"

namespace Quorvel {

// How decodeObjectForKey makes an object before it decodes itself. Classes
// without a default constructor specialise this next to their declaration.
template <class T>
struct QVUnarchiverFactory {
  static std::shared_ptr<T> create() { return std::make_shared<T>(); }
};

// Reads a keyed document in the order it was written. The reader is a cursor
// over the children of the element entered last; it looks one element ahead,
// which is what hasValueForKey() answers from. Every decode of a key that is
// not the next element raises QVException naming the expected key, what was
// found and the line, as do malformed, truncated or hostile documents (a
// DOCTYPE, entity declarations, nesting beyond the parser's limit).
class QVUnarchiver {
 public:
  virtual ~QVUnarchiver() = default;

  // Format version recorded on the element entered last (0.0 when none).
  virtual void objectVersion(int& major, int& minor) const = 0;
  virtual bool hasValueForKey(std::string_view key) = 0;
  virtual void decodeBool(std::string_view key, bool& out) = 0;
  virtual void decodeChar(std::string_view key, char& out) = 0;
  virtual void decodeTime(std::string_view key, boost::posix_time::ptime& out) = 0;
  virtual void decodeData(std::string_view key, std::vector<unsigned char>& out) = 0;
  virtual void decodeString(std::string_view key, std::string& out) = 0;
  // Decodes into an existing object: enter, decodeWithUnarchiver, leave.
  virtual void decodeObject(std::string_view key, QVUnarchivable& object) = 0;
  // Attributes of the element entered last.
  virtual bool hasAttribute(std::string_view name) = 0;
  // The name of the next unread element among the current children, or
  // false at the end of them.
  virtual bool nextKey(std::string& key) = 0;
  virtual bool attributeValue(std::string_view name, std::string& out) = 0;
  virtual void enterElement(std::string_view key) = 0;
  // Leaves the element entered last, skipping children not read.
  virtual void leaveElement(std::string_view key) = 0;
  virtual void skipValueForKey(std::string_view key) = 0;
  // Line of the reader's position, for messages.
  virtual int currentLine() const = 0;

  // Text numbers with base detection ("0x" hexadecimal, leading 0 octal);
  // a value that does not parse reads as 0.
  uint64_t decodeUnsigned(std::string_view key);
  int64_t decodeSigned(std::string_view key);
  double decodeDouble(std::string_view key);

  // Object identity: an element with "objref" yields the object recorded
  // under that number (a dangling number raises "no mapping for objref for
  // element '<key>'"); otherwise a new T is made, recorded under its
  // "objid" when it has one, and decoded.
  template <class T>
  void decodeObjectForKey(const std::string& key, std::shared_ptr<T>& out);

  void registerObject(uint64_t objectId, const std::shared_ptr<QVUnarchivable>& object);
  std::shared_ptr<QVUnarchivable> objectForId(uint64_t objectId) const;

  // An XML unarchiver over a stream (gzip-compressed or plain, detected from
  // its first bytes). The stream must outlive the unarchiver.
  static std::unique_ptr<QVUnarchiver> createUnarchiver(std::istream& stream);

 private:
  // Warns, once per key, when the element entered last carries a format
  // version newer than the object knows: it is still read, and what it does
  // not recognise is skipped.
  void warnIfNewer(const std::string& key, const QVUnarchivable& object);

  std::unordered_map<uint64_t, std::shared_ptr<QVUnarchivable>> objects_;
  std::unordered_set<std::string> newerWarned_;
};

// Parses archived number text with base detection; non-numbers give 0.
uint64_t ParseArchivedUnsigned(const std::string& text);
int64_t ParseArchivedSigned(const std::string& text);
double ParseArchivedDouble(const std::string& text);

template <class T>
void QVUnarchiver::decodeObjectForKey(const std::string& key, std::shared_ptr<T>& out) {
  static_assert(std::is_base_of<QVUnarchivable, T>::value, "decoded objects must be unarchivable");
  enterElement(key);
  std::string reference;
  if (attributeValue("objref", reference)) {
    std::shared_ptr<QVUnarchivable> found = objectForId(ParseArchivedUnsigned(reference));
    if (!found) {
      throw QVException("no mapping for objref for element '" + key + "'", __LINE__, __FILE__);
    }
    std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(found);
    if (!typed) {
      throw QVException("objref " + reference + " of element '" + key + "' names an object of another type",
                        __LINE__, __FILE__);
    }
    out = typed;
  } else {
    std::shared_ptr<T> created = QVUnarchiverFactory<T>::create();
    std::string objectId;
    if (attributeValue("objid", objectId)) {
      registerObject(ParseArchivedUnsigned(objectId), created);
    }
    warnIfNewer(key, *created);
    created->decodeWithUnarchiver(this);
    out = created;
  }
  leaveElement(key);
}

}  // namespace Quorvel
