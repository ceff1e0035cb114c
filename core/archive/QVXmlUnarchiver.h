#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include "archive/QVArchiveInput.h"
#include "archive/QVXmlInputGuard.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

// Reads the documents QVXmlArchiver writes (the format is described there)
// with libxml2's pull reader, so memory stays bounded by the nesting depth
// and the largest single value, never by the document size.
//
// Hostile input is refused rather than processed: any DOCTYPE raises before
// its content is used, nothing is fetched from the network, no entity is
// substituted, and nesting is bounded by libxml2's default depth limit.
// Every parser diagnostic becomes the message of the QVException raised
// instead of being printed.
//
// The cursor looks one element ahead among the children of the element
// entered last. Text between elements that is only blanks is ignored;
// other text there is an error.
class QVXmlUnarchiver : public QVUnarchiver {
 public:
  explicit QVXmlUnarchiver(std::istream& stream);
  ~QVXmlUnarchiver() override;
  QVXmlUnarchiver(const QVXmlUnarchiver&) = delete;
  QVXmlUnarchiver& operator=(const QVXmlUnarchiver&) = delete;

  void objectVersion(int& major, int& minor) const override;
  bool hasValueForKey(std::string_view key) override;
  void decodeBool(std::string_view key, bool& out) override;
  void decodeChar(std::string_view key, char& out) override;
  void decodeTime(std::string_view key, boost::posix_time::ptime& out) override;
  void decodeData(std::string_view key, std::vector<unsigned char>& out) override;
  void decodeString(std::string_view key, std::string& out) override;
  void decodeObject(std::string_view key, QVUnarchivable& object) override;
  bool hasAttribute(std::string_view name) override;
  bool nextKey(std::string& key) override;
  bool attributeValue(std::string_view name, std::string& out) override;
  void enterElement(std::string_view key) override;
  void leaveElement(std::string_view key) override;
  void skipValueForKey(std::string_view key) override;
  int currentLine() const override;

 private:
  struct Attribute {
    std::string name;
    std::string value;
  };
  // An element as the cursor sees it. Names point into the reader's
  // dictionary, which lives as long as the reader.
  struct Element {
    const char* name = nullptr;
    bool empty = false;  // <key/>: no children and no end node follow
    int depth = 0;
    int line = 0;
    std::vector<Attribute> attributes;
    const std::string* attribute(std::string_view name) const;
  };
  enum class Next { Unknown, Start, End, EndOfDocument };

  // Moves the reader one node on; false at the end of the input.
  bool advance();
  [[noreturn]] void raiseReadError();
  [[noreturn]] void raiseTruncated();
  // Fills the look-ahead with the next element start or end among the
  // current children.
  void peek();
  // Makes sure the look-ahead is the start of key, or raises.
  void expect(std::string_view key);
  // Reads the text of the value element in the look-ahead.
  void readValue(std::string_view key, std::string& out);
  // Skips what is left of the element in the look-ahead.
  void skipLookahead();
  void readToEndOfDocument();
  std::string describeNext() const;
  void checkEncoding();
  int nodeLine();

  static int readInput(void* context, char* buffer, int length);
  // Reads through the guard; -1 once it refuses the document.
  int readGuarded(char* buffer, size_t length);
  static void parserError(void* context, xmlErrorPtr error);

  QVArchiveInput input_;
  // Sees every byte before libxml2 does: attribute floods and padding are
  // refused before the parser spends quadratic time or memory on them.
  QVXmlInputGuard guard_;
  std::vector<char> raw_;
  xmlTextReaderPtr reader_ = nullptr;
  std::string inputError_;
  std::string parseError_;
  // Open elements; frames past openCount_ are kept for their buffers.
  std::vector<Element> frames_;
  size_t openCount_ = 0;
  Next next_ = Next::Unknown;
  Element lookahead_;
  bool finished_ = false;
  unsigned char firstBytes_[2] = {};
  size_t firstBytesSeen_ = 0;
  // Until the root element is reached the encoding is not known to be
  // UTF-8, and libxml2's global error channels are redirected around reads.
  bool rootSeen_ = false;
};

}  // namespace Quorvel
