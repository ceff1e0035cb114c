#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/QVArchiveOutput.h"
#include "archive/QVArchiver.h"

namespace Quorvel {

// The XML form of a keyed document:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <Root objid="1" version="2.0"><Key>value</Key><List><Item>...</Item></List></Root>
//
// Values are element text with &, < and > written as entities. Text that
// XML 1.0 cannot carry exactly is escaped reversibly: when a value holds any
// C0 control other than TAB and LF, a carriage return (parsers turn it into
// LF), a byte that is not part of well-formed UTF-8, or U+FFFE/U+FFFF, the
// element gets the attribute esc="1" and in its text every "\" becomes "\\"
// and every such byte becomes "\xHH" (two lower-case hex digits); all other
// bytes, markup entities included, are written as usual. Without esc="1" a
// backslash is an ordinary character.
//
// Booleans are "true"/"false", characters a one-byte string (NUL as empty),
// times ISO extended ("2026-12-05T19:10:40.123456", "not-a-date-time",
// "+infinity", "-infinity"), data base64. Unique-archivable objects are
// numbered objid="1", "2", ... in document order when sharing is on, and
// written again only as <Key objref="N"/>. Attribute values escape markup,
// quotes, TAB, LF and CR as references and refuse other control bytes.
class QVXmlArchiver : public QVArchiver {
 public:
  QVXmlArchiver(std::ostream& stream, const Options& options);
  ~QVXmlArchiver() override;

  void setShareObjects(bool share) override { shareObjects_ = share; }
  void setIndent(bool indent) override { indent_ = indent; }

  void encodeBool(bool value, std::string_view key) override;
  void encodeChar(char value, std::string_view key) override;
  void encodeTime(const boost::posix_time::ptime& value, std::string_view key) override;
  void encodeString(std::string_view value, std::string_view key) override;
  void encodeData(const void* bytes, size_t length, std::string_view key) override;
  void encodeObject(const QVArchivable& object, std::string_view key) override;
  void encodeObjectNoShare(const QVArchivable& object, std::string_view key) override;
  void encodeAttribute(std::string_view value, std::string_view name) override;
  void encodeCharString(const char* text, std::string_view key) override;
  void flush() override;
  void beginList(std::string_view key) override;
  void endList(std::string_view key) override;
  void finish() override;

 private:
  void openElement(std::string_view key);
  void closeElement(std::string_view key);
  // Writes <key>text</key> as one value; the only place text is escaped.
  void writeValue(std::string_view key, std::string_view text);
  void writeObject(const QVArchivable& object, std::string_view key, bool share);
  void closeStartTag();
  void newline(size_t depth);
  void checkCanOpen(std::string_view key);

  QVArchiveOutput out_;
  bool shareObjects_;
  bool indent_;
  bool rootWritten_ = false;
  bool finished_ = false;
  bool startTagOpen_ = false;
  // Whether the innermost open element has child elements yet, which
  // decides where indentation goes when it closes.
  bool hasChildren_ = false;
  std::vector<std::string> open_;
  std::unordered_map<const void*, uint64_t> objectIds_;
  uint64_t nextObjectId_ = 1;
};

}  // namespace Quorvel
