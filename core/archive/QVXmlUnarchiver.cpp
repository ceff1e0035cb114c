#include "archive/QVXmlUnarchiver.h"

#include <cstring>
#include <strings.h>
#include <istream>

#include <libxml/globals.h>
#include <libxml/parser.h>

#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/dataflow_exception.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "archive/QVXmlText.h"
#include "base/QVException.h"

namespace Quorvel {

namespace {

bool NameIs(const char* name, std::string_view key) {
  return name != nullptr && std::strlen(name) == key.size() && std::memcmp(name, key.data(), key.size()) == 0;
}

bool IsBlankText(const char* text) {
  for (; *text; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') {
      return false;
    }
  }
  return true;
}

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction of up to nine digits, the
// year within the Gregorian range of Boost's calendar and each field in range.
bool IsIsoExtendedTime(const std::string& text) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
  const size_t fixed = sizeof kShape - 1;
  if (text.size() < fixed) {
    return false;
  }
  for (size_t i = 0; i < fixed; ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
      return false;
    }
  }
  if (text.size() > fixed) {
    size_t digits = text.size() - fixed - 1;
    if (text[fixed] != '.' || digits == 0 || digits > 9) {
      return false;
    }
    for (size_t i = fixed + 1; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') {
        return false;
      }
    }
  }
  auto field = [&](size_t at, size_t width) { return std::stoi(text.substr(at, width)); };
  int year = field(0, 4), month = field(5, 2), day = field(8, 2);
  int hour = field(11, 2), minute = field(14, 2), second = field(17, 2);
  return year >= 1400 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 &&
         minute <= 59 && second <= 59;
}

const char* AsChars(const xmlChar* text) { return reinterpret_cast<const char*>(text); }

// Some libxml2 diagnostics (encoding and I/O errors) bypass the reader's
// handler and go to the thread's global handlers, which print to stderr.
// While this reader calls into libxml2 they are routed to it instead.
class ErrorRedirect {
 public:
  ErrorRedirect(void* context, xmlStructuredErrorFunc handler)
      : structured_(xmlStructuredError),
        structuredContext_(xmlStructuredErrorContext),
        generic_(xmlGenericError),
        genericContext_(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(context, handler);
    xmlSetGenericErrorFunc(nullptr, &Discard);
  }
  ~ErrorRedirect() {
    xmlSetStructuredErrorFunc(structuredContext_, structured_);
    xmlSetGenericErrorFunc(genericContext_, generic_);
  }
  ErrorRedirect(const ErrorRedirect&) = delete;
  ErrorRedirect& operator=(const ErrorRedirect&) = delete;

 private:
  // Anything that reaches the generic channel has also been reported through
  // the structured one, which carries the line.
  static void Discard(void*, const char*, ...) {}

  xmlStructuredErrorFunc structured_;
  void* structuredContext_;
  xmlGenericErrorFunc generic_;
  void* genericContext_;
};

}  // namespace

const std::string* QVXmlUnarchiver::Element::attribute(std::string_view name) const {
  for (const Attribute& a : attributes) {
    if (a.name == name) {
      return &a.value;
    }
  }
  return nullptr;
}

QVXmlUnarchiver::QVXmlUnarchiver(std::istream& stream) : input_(stream) {
  // Only NONET among the options: entity substitution, DTD loading and
  // default attributes stay off, and HUGE stays off so that libxml2's depth
  // and size limits hold. BIG_LINES keeps line numbers past 65535 right.
  ErrorRedirect redirect(this, &QVXmlUnarchiver::parserError);
  reader_ = xmlReaderForIO(&QVXmlUnarchiver::readInput, nullptr, this, nullptr, nullptr,
                           XML_PARSE_NONET | XML_PARSE_BIG_LINES);
  if (reader_ == nullptr) {
    throw QVException(inputError_.empty() ? "cannot create an XML reader" : inputError_, __LINE__, __FILE__);
  }
  xmlTextReaderSetStructuredErrorHandler(reader_, &QVXmlUnarchiver::parserError, this);
}

QVXmlUnarchiver::~QVXmlUnarchiver() { xmlFreeTextReader(reader_); }

int QVXmlUnarchiver::readInput(void* context, char* buffer, int length) {
  auto* self = static_cast<QVXmlUnarchiver*>(context);
  if (!self->inputError_.empty()) {
    return -1;
  }
  // libxml2 is C: nothing may unwind through it.
  try {
    return self->readGuarded(buffer, length > 0 ? static_cast<size_t>(length) : 0);
  } catch (const QVException& e) {
    self->inputError_ = e.message();
  } catch (const std::exception& e) {
    self->inputError_ = std::string("failed to read archive input: ") + e.what();
  }
  return -1;
}

int QVXmlUnarchiver::readGuarded(char* buffer, size_t length) {
  if (length <= QVXmlInputGuard::kHeldBack) {
    return 0;
  }
  raw_.resize(length - QVXmlInputGuard::kHeldBack);
  for (;;) {
    size_t got = input_.read(raw_.data(), raw_.size());
    // UTF-16 and UCS-4 are recognised by a zero or a byte-order mark in the
    // first two bytes; UTF-8 XML starts with "<", a blank or its BOM. libxml2
    // may ask for so few bytes at first that they arrive one call at a time.
    for (size_t i = 0; i < got && firstBytesSeen_ < sizeof firstBytes_; ++i) {
      firstBytes_[firstBytesSeen_++] = static_cast<unsigned char>(raw_[i]);
      if (firstBytesSeen_ == sizeof firstBytes_ &&
          (firstBytes_[0] == 0 || firstBytes_[1] == 0 || firstBytes_[0] == 0xfe || firstBytes_[0] == 0xff)) {
        inputError_ = "archives must be UTF-8 encoded";
        return -1;
      }
    }
    long written = guard_.filter(raw_.data(), got, buffer);
    if (written < 0) {
      inputError_ = "archive refused: " + guard_.refusal();
      return -1;
    }
    // A chunk that held only comments yields nothing, which libxml2 would
    // take for the end of the document: read on.
    if (written > 0 || got == 0) {
      return static_cast<int>(written);
    }
  }
}

void QVXmlUnarchiver::parserError(void* context, xmlErrorPtr error) {
  auto* self = static_cast<QVXmlUnarchiver*>(context);
  if (error == nullptr || error->level < XML_ERR_ERROR || !self->parseError_.empty()) {
    return;
  }
  std::string message = error->message ? error->message : "unknown XML error";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
    message.pop_back();
  }
  // libxml2 reports a document cut short with the same code and words as
  // content after the root; its parser state tells the two apart.
  const auto* parser = static_cast<const xmlParserCtxt*>(error->ctxt);
  if (error->code == XML_ERR_DOCUMENT_END && parser != nullptr && parser->instate != XML_PARSER_EPILOG) {
    if (parser->nameNr > 0 && parser->name != nullptr) {
      message = std::string("document ends inside element '") + AsChars(parser->name) + "'";
    } else {
      message = "document ends before its root element";
    }
  }
  self->parseError_ = "malformed archive: " + message + " at line " + std::to_string(error->line);
}

void QVXmlUnarchiver::raiseReadError() {
  if (!inputError_.empty()) {
    throw QVException(inputError_, __LINE__, __FILE__);
  }
  if (!parseError_.empty()) {
    throw QVException(parseError_, __LINE__, __FILE__);
  }
  throw QVException("malformed archive near line " + std::to_string(currentLine()), __LINE__, __FILE__);
}

void QVXmlUnarchiver::raiseTruncated() {
  if (!inputError_.empty() || !parseError_.empty()) {
    raiseReadError();
  }
  std::string inside = openCount_ > 0 ? std::string(" inside element '") + frames_[openCount_ - 1].name + "'" : "";
  throw QVException("archive ends unexpectedly" + inside, __LINE__, __FILE__);
}

bool QVXmlUnarchiver::advance() {
  if (finished_) {
    return false;
  }
  int status;
  if (rootSeen_) {
    status = xmlTextReaderRead(reader_);
  } else {
    ErrorRedirect redirect(this, &QVXmlUnarchiver::parserError);
    status = xmlTextReaderRead(reader_);
  }
  if (status == 1) {
    return true;
  }
  if (status < 0 || !inputError_.empty() || !parseError_.empty()) {
    raiseReadError();
  }
  finished_ = true;
  return false;
}

void QVXmlUnarchiver::checkEncoding() {
  // Archives are UTF-8. Other encodings would run libxml2's converters,
  // whose failures bypass the reader's error handler; refusing them at the
  // root lets every later read skip the redirection of the global handlers.
  const char* encoding = AsChars(xmlTextReaderConstEncoding(reader_));
  if (encoding != nullptr && strcasecmp(encoding, "UTF-8") != 0 && strcasecmp(encoding, "UTF8") != 0) {
    throw QVException(std::string("archives must be UTF-8 encoded, not ") + encoding, __LINE__, __FILE__);
  }
  rootSeen_ = true;
}

int QVXmlUnarchiver::nodeLine() {
  xmlNodePtr node = xmlTextReaderCurrentNode(reader_);
  long line = node ? xmlGetLineNo(node) : -1;
  return line > 0 ? static_cast<int>(line) : xmlTextReaderGetParserLineNumber(reader_);
}

int QVXmlUnarchiver::currentLine() const {
  if (next_ == Next::Start) {
    return lookahead_.line;
  }
  return xmlTextReaderGetParserLineNumber(reader_);
}

void QVXmlUnarchiver::peek() {
  if (next_ != Next::Unknown) {
    return;
  }
  if (openCount_ > 0 && frames_[openCount_ - 1].empty) {
    next_ = Next::End;
    return;
  }
  for (;;) {
    if (!advance()) {
      if (openCount_ > 0) {
        raiseTruncated();
      }
      next_ = Next::EndOfDocument;
      return;
    }
    switch (xmlTextReaderNodeType(reader_)) {
      case XML_READER_TYPE_ELEMENT: {
        if (!rootSeen_) {
          checkEncoding();
        }
        lookahead_.name = AsChars(xmlTextReaderConstName(reader_));
        lookahead_.empty = xmlTextReaderIsEmptyElement(reader_) == 1;
        lookahead_.depth = xmlTextReaderDepth(reader_);
        lookahead_.line = nodeLine();
        lookahead_.attributes.clear();
        if (xmlTextReaderHasAttributes(reader_) == 1) {
          while (xmlTextReaderMoveToNextAttribute(reader_) == 1) {
            const char* value = AsChars(xmlTextReaderConstValue(reader_));
            lookahead_.attributes.push_back(
                Attribute{AsChars(xmlTextReaderConstName(reader_)), value ? value : ""});
          }
          xmlTextReaderMoveToElement(reader_);
        }
        next_ = Next::Start;
        return;
      }
      case XML_READER_TYPE_END_ELEMENT:
        next_ = Next::End;
        return;
      case XML_READER_TYPE_DOCUMENT_TYPE:
        throw QVException("documents with a DOCTYPE are not accepted", __LINE__, __FILE__);
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_CDATA: {
        const char* text = AsChars(xmlTextReaderConstValue(reader_));
        if (text != nullptr && !IsBlankText(text)) {
          throw QVException(std::string("unexpected text where elements were expected in '") +
                                (openCount_ > 0 ? frames_[openCount_ - 1].name : "") + "' at line " +
                                std::to_string(nodeLine()),
                            __LINE__, __FILE__);
        }
        break;
      }
      case XML_READER_TYPE_ENTITY_REFERENCE:
        throw QVException("entity references are not accepted (line " + std::to_string(nodeLine()) + ")",
                          __LINE__, __FILE__);
      default:
        // Blanks, comments and processing instructions carry nothing.
        break;
    }
  }
}

std::string QVXmlUnarchiver::describeNext() const {
  switch (next_) {
    case Next::Start:
      return std::string("'") + lookahead_.name + "'";
    case Next::End:
      return openCount_ > 0 ? std::string("the end of '") + frames_[openCount_ - 1].name + "'"
                            : std::string("the end of the document");
    default:
      return "the end of the document";
  }
}

void QVXmlUnarchiver::expect(std::string_view key) {
  peek();
  if (next_ == Next::Start && NameIs(lookahead_.name, key)) {
    return;
  }
  throw QVException("expected element '" + std::string(key) + "' but found " + describeNext() + " at line " +
                        std::to_string(currentLine()),
                    __LINE__, __FILE__);
}

bool QVXmlUnarchiver::hasValueForKey(std::string_view key) {
  peek();
  return next_ == Next::Start && NameIs(lookahead_.name, key);
}

bool QVXmlUnarchiver::nextKey(std::string& key) {
  peek();
  if (next_ != Next::Start) {
    return false;
  }
  key = lookahead_.name;
  return true;
}

void QVXmlUnarchiver::enterElement(std::string_view key) {
  expect(key);
  if (frames_.size() == openCount_) {
    frames_.emplace_back();
  }
  Element& frame = frames_[openCount_++];
  frame.name = lookahead_.name;
  frame.empty = lookahead_.empty;
  frame.depth = lookahead_.depth;
  frame.line = lookahead_.line;
  frame.attributes.swap(lookahead_.attributes);
  next_ = Next::Unknown;
}

void QVXmlUnarchiver::skipLookahead() {
  if (!lookahead_.empty) {
    for (;;) {
      if (!advance()) {
        raiseTruncated();
      }
      int type = xmlTextReaderNodeType(reader_);
      if (type == XML_READER_TYPE_END_ELEMENT && xmlTextReaderDepth(reader_) == lookahead_.depth) {
        break;
      }
    }
  }
  next_ = Next::Unknown;
}

void QVXmlUnarchiver::leaveElement(std::string_view key) {
  if (openCount_ == 0 || !NameIs(frames_[openCount_ - 1].name, key)) {
    throw QVException("leaving element '" + std::string(key) + "' but the element entered last is " +
                          (openCount_ == 0 ? std::string("none") : "'" + std::string(frames_[openCount_ - 1].name) + "'"),
                      __LINE__, __FILE__);
  }
  for (;;) {
    peek();
    if (next_ == Next::End) {
      break;
    }
    if (next_ != Next::Start) {
      raiseTruncated();
    }
    skipLookahead();
  }
  --openCount_;
  next_ = Next::Unknown;
  if (openCount_ == 0) {
    readToEndOfDocument();
  }
}

void QVXmlUnarchiver::readToEndOfDocument() {
  // Reading on lets libxml2 report anything after the root; a document the
  // reader is done with must have been well-formed to its end.
  while (advance()) {
    if (xmlTextReaderNodeType(reader_) == XML_READER_TYPE_ELEMENT) {
      throw QVException("second top-level element in archive at line " + std::to_string(nodeLine()), __LINE__,
                        __FILE__);
    }
  }
  next_ = Next::EndOfDocument;
}

void QVXmlUnarchiver::readValue(std::string_view key, std::string& out) {
  expect(key);
  out.clear();
  const std::string* escaped = lookahead_.attribute("esc");
  const bool unescape = escaped != nullptr && *escaped == "1";
  if (!lookahead_.empty) {
    for (;;) {
      if (!advance()) {
        raiseTruncated();
      }
      switch (xmlTextReaderNodeType(reader_)) {
        case XML_READER_TYPE_TEXT:
        case XML_READER_TYPE_CDATA:
        case XML_READER_TYPE_WHITESPACE:
        case XML_READER_TYPE_SIGNIFICANT_WHITESPACE: {
          const char* text = AsChars(xmlTextReaderConstValue(reader_));
          if (text != nullptr) {
            out.append(text);
          }
          continue;
        }
        case XML_READER_TYPE_END_ELEMENT:
          break;
        case XML_READER_TYPE_ELEMENT:
          throw QVException("element '" + std::string(key) + "' holds element '" +
                                AsChars(xmlTextReaderConstName(reader_)) + "' where a value was expected at line " +
                                std::to_string(nodeLine()),
                            __LINE__, __FILE__);
        case XML_READER_TYPE_ENTITY_REFERENCE:
          throw QVException("entity references are not accepted (line " + std::to_string(nodeLine()) + ")",
                            __LINE__, __FILE__);
        default:
          continue;
      }
      break;
    }
  }
  next_ = Next::Unknown;
  if (unescape) {
    try {
      QVXmlText::unescape(out);
    } catch (const QVException& e) {
      throw QVException(e.message() + " of element '" + std::string(key) + "' at line " +
                            std::to_string(currentLine()),
                        __LINE__, __FILE__);
    }
  }
  if (openCount_ == 0) {
    readToEndOfDocument();
  }
}

void QVXmlUnarchiver::skipValueForKey(std::string_view key) {
  expect(key);
  skipLookahead();
  if (openCount_ == 0) {
    readToEndOfDocument();
  }
}

void QVXmlUnarchiver::decodeString(std::string_view key, std::string& out) { readValue(key, out); }

void QVXmlUnarchiver::decodeBool(std::string_view key, bool& out) {
  std::string text;
  readValue(key, text);
  if (text == "true" || text == "1") {
    out = true;
  } else if (text == "false" || text == "0") {
    out = false;
  } else {
    throw QVException("element '" + std::string(key) + "' holds '" + text + "' where true or false was expected",
                      __LINE__, __FILE__);
  }
}

void QVXmlUnarchiver::decodeChar(std::string_view key, char& out) {
  std::string text;
  readValue(key, text);
  if (text.size() > 1) {
    throw QVException("element '" + std::string(key) + "' holds " + std::to_string(text.size()) +
                          " bytes where one character was expected",
                      __LINE__, __FILE__);
  }
  out = text.empty() ? '\0' : text[0];
}

void QVXmlUnarchiver::decodeTime(std::string_view key, boost::posix_time::ptime& out) {
  std::string text;
  readValue(key, text);
  using boost::posix_time::ptime;
  if (text == "not-a-date-time") {
    out = ptime(boost::date_time::not_a_date_time);
    return;
  }
  if (text == "+infinity") {
    out = ptime(boost::date_time::pos_infin);
    return;
  }
  if (text == "-infinity") {
    out = ptime(boost::date_time::neg_infin);
    return;
  }
  try {
    // Boost's parser accepts text that is not a time at all, and converts its
    // fields with lexical_cast, which overflows on long digit runs; only the
    // shape this archiver writes, with every field in range, reaches it.
    if (!IsIsoExtendedTime(text)) {
      throw std::invalid_argument("not an ISO time");
    }
    out = boost::posix_time::from_iso_extended_string(text);
  } catch (const std::exception&) {
    throw QVException("element '" + std::string(key) + "' holds '" + text + "' where a time was expected",
                      __LINE__, __FILE__);
  }
}

void QVXmlUnarchiver::decodeData(std::string_view key, std::vector<unsigned char>& out) {
  std::string text;
  readValue(key, text);
  out.clear();
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  bool valid = text.size() % 4 == 0;
  for (size_t i = 0; valid && i < text.size() - padding; ++i) {
    char c = text[i];
    valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
  }
  if (!valid) {
    throw QVException("element '" + std::string(key) + "' does not hold base64 data", __LINE__, __FILE__);
  }
  // The decoder has no notion of padding: decode zeros in its place and
  // drop the bytes they produce.
  std::fill(text.end() - static_cast<std::ptrdiff_t>(padding), text.end(), 'A');
  using Decoder = boost::archive::iterators::transform_width<
      boost::archive::iterators::binary_from_base64<std::string::const_iterator>, 8, 6>;
  out.assign(Decoder(text.cbegin()), Decoder(text.cend()));
  out.resize(out.size() - padding);
}

void QVXmlUnarchiver::decodeObject(std::string_view key, QVUnarchivable& object) {
  enterElement(key);
  object.decodeWithUnarchiver(this);
  leaveElement(key);
}

bool QVXmlUnarchiver::hasAttribute(std::string_view name) {
  return openCount_ > 0 && frames_[openCount_ - 1].attribute(name) != nullptr;
}

bool QVXmlUnarchiver::attributeValue(std::string_view name, std::string& out) {
  const std::string* value = openCount_ > 0 ? frames_[openCount_ - 1].attribute(name) : nullptr;
  if (value == nullptr) {
    return false;
  }
  out = *value;
  return true;
}

void QVXmlUnarchiver::objectVersion(int& major, int& minor) const {
  major = 0;
  minor = 0;
  const std::string* version = openCount_ > 0 ? frames_[openCount_ - 1].attribute("version") : nullptr;
  if (version == nullptr) {
    return;
  }
  size_t dot = version->find('.');
  major = static_cast<int>(ParseArchivedSigned(version->substr(0, dot)));
  if (dot != std::string::npos) {
    minor = static_cast<int>(ParseArchivedSigned(version->substr(dot + 1)));
  }
}

}  // namespace Quorvel
