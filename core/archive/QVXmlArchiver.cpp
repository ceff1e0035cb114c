#include "archive/QVXmlArchiver.h"

#include <charconv>
#include <ostream>

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "archive/QVUniqueArchivable.h"
#include "archive/QVXmlText.h"
#include "base/QVException.h"
#include "base/QVLog.h"

namespace Quorvel {

namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
constexpr std::string_view kIndentSpaces = "                                                                ";

}  // namespace

QVXmlArchiver::QVXmlArchiver(std::ostream& stream, const Options& options)
    : out_(stream, options.compress), shareObjects_(options.shareObjects), indent_(options.indent) {
  out_.put(kDeclaration);
}

QVXmlArchiver::~QVXmlArchiver() {
  if (finished_) {
    return;
  }
  // An archive abandoned half way (usually by an exception) must not look
  // complete: what was encoded is written but no element is closed, so a
  // reader reports the document as truncated.
  try {
    out_.finish();
  } catch (const QVException& e) {
    QV_WARNING("unfinished archive could not be written out: " << e.message());
  } catch (...) {
    QV_WARNING("unfinished archive could not be written out");
  }
}

void QVXmlArchiver::checkCanOpen(std::string_view key) {
  if (finished_) {
    throw QVException("element '" + std::string(key) + "' encoded after the archive was finished", __LINE__,
                      __FILE__);
  }
  if (open_.empty()) {
    if (rootWritten_) {
      throw QVException("second top-level element '" + std::string(key) + "' in one archive", __LINE__,
                        __FILE__);
    }
    rootWritten_ = true;
  }
}

void QVXmlArchiver::closeStartTag() {
  if (startTagOpen_) {
    out_.put('>');
    startTagOpen_ = false;
  }
}

void QVXmlArchiver::newline(size_t depth) {
  out_.put('\n');
  size_t spaces = 2 * depth;
  while (spaces > 0) {
    size_t chunk = std::min(spaces, kIndentSpaces.size());
    out_.put(kIndentSpaces.data(), chunk);
    spaces -= chunk;
  }
}

void QVXmlArchiver::openElement(std::string_view key) {
  checkCanOpen(key);
  closeStartTag();
  if (indent_ && !open_.empty()) {
    newline(open_.size());
  }
  out_.put('<');
  out_.put(key);
  startTagOpen_ = true;
  hasChildren_ = false;
  open_.emplace_back(key);
}

void QVXmlArchiver::closeElement(std::string_view key) {
  if (open_.empty() || open_.back() != key) {
    throw QVException("closing element '" + std::string(key) + "' but the open element is '" +
                          (open_.empty() ? std::string() : open_.back()) + "'",
                      __LINE__, __FILE__);
  }
  if (startTagOpen_) {
    out_.put("/>", 2);
    startTagOpen_ = false;
  } else {
    if (indent_ && hasChildren_) {
      newline(open_.size() - 1);
    }
    out_.put("</", 2);
    out_.put(key);
    out_.put('>');
  }
  open_.pop_back();
  hasChildren_ = true;
}

void QVXmlArchiver::writeValue(std::string_view key, std::string_view text) {
  checkCanOpen(key);
  closeStartTag();
  if (indent_ && !open_.empty()) {
    newline(open_.size());
  }
  hasChildren_ = true;
  QVXmlText::Scan scan = QVXmlText::scan(text);
  out_.put('<');
  out_.put(key);
  if (scan == QVXmlText::Scan::NeedsEscape) {
    out_.put(" esc=\"1\"", 8);
  }
  if (text.empty()) {
    out_.put("/>", 2);
    return;
  }
  out_.put('>');
  QVXmlText::write(out_, text, scan);
  out_.put("</", 2);
  out_.put(key);
  out_.put('>');
}

void QVXmlArchiver::encodeBool(bool value, std::string_view key) { writeValue(key, value ? "true" : "false"); }

void QVXmlArchiver::encodeChar(char value, std::string_view key) {
  // NUL travels as the empty string so that the reader can tell it apart
  // from every other character without an escape.
  writeValue(key, value == '\0' ? std::string_view() : std::string_view(&value, 1));
}

void QVXmlArchiver::encodeTime(const boost::posix_time::ptime& value, std::string_view key) {
  writeValue(key, boost::posix_time::to_iso_extended_string(value));
}

void QVXmlArchiver::encodeString(std::string_view value, std::string_view key) { writeValue(key, value); }

void QVXmlArchiver::encodeCharString(const char* text, std::string_view key) {
  writeValue(key, text ? std::string_view(text) : std::string_view());
}

void QVXmlArchiver::encodeData(const void* bytes, size_t length, std::string_view key) {
  using Encoder = boost::archive::iterators::base64_from_binary<
      boost::archive::iterators::transform_width<const unsigned char*, 6, 8>>;
  const unsigned char* begin = static_cast<const unsigned char*>(bytes);
  std::string text(Encoder(begin), Encoder(begin + length));
  text.append((3 - length % 3) % 3, '=');
  writeValue(key, text);
}

void QVXmlArchiver::encodeObject(const QVArchivable& object, std::string_view key) {
  writeObject(object, key, shareObjects_);
}

void QVXmlArchiver::encodeObjectNoShare(const QVArchivable& object, std::string_view key) {
  writeObject(object, key, false);
}

void QVXmlArchiver::writeObject(const QVArchivable& object, std::string_view key, bool share) {
  uint64_t objectId = 0;
  if (share) {
    if (const auto* unique = dynamic_cast<const QVUniqueArchivable*>(&object)) {
      auto inserted = objectIds_.emplace(unique->archiveIdentity(), nextObjectId_);
      if (!inserted.second) {
        openElement(key);
        char number[24];
        auto end = std::to_chars(number, number + sizeof number, inserted.first->second).ptr;
        out_.put(" objref=\"", 9);
        out_.put(number, static_cast<size_t>(end - number));
        out_.put('"');
        closeElement(key);
        return;
      }
      objectId = nextObjectId_++;
    }
  }
  openElement(key);
  if (objectId != 0) {
    char number[24];
    auto end = std::to_chars(number, number + sizeof number, objectId).ptr;
    out_.put(" objid=\"", 8);
    out_.put(number, static_cast<size_t>(end - number));
    out_.put('"');
  }
  int major = object.getCurrentMajorVersion();
  int minor = object.getCurrentMinorVersion();
  if (major != 0 || minor != 0) {
    out_.put(" version=\"", 10);
    out_.put(std::to_string(major) + "." + std::to_string(minor));
    out_.put('"');
  }
  object.encodeWithArchiver(this);
  closeElement(key);
}

void QVXmlArchiver::encodeAttribute(std::string_view value, std::string_view name) {
  if (!startTagOpen_) {
    throw QVException("attribute '" + std::string(name) + "' has no element to go on" +
                          (open_.empty() ? std::string() : ": '" + open_.back() + "' already has content"),
                      __LINE__, __FILE__);
  }
  out_.put(' ');
  out_.put(name);
  out_.put("=\"", 2);
  QVXmlText::writeAttribute(out_, value);
  out_.put('"');
}

void QVXmlArchiver::beginList(std::string_view key) { openElement(key); }

void QVXmlArchiver::endList(std::string_view key) { closeElement(key); }

void QVXmlArchiver::flush() { out_.flush(); }

void QVXmlArchiver::finish() {
  if (finished_) {
    return;
  }
  while (!open_.empty()) {
    std::string key = open_.back();
    closeElement(key);
  }
  if (indent_) {
    out_.put('\n');
  }
  finished_ = true;
  out_.finish();
}

}  // namespace Quorvel
