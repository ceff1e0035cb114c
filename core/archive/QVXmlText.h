#pragma once

#include <string>
#include <string_view>

namespace Quorvel {

class QVArchiveOutput;

// The one place where archive text is escaped and unescaped, shared by the
// XML archiver and unarchiver so that both sides agree byte for byte.
//
// Element text: &, < and > become entities. When the text holds bytes XML
// 1.0 cannot carry exactly (C0 controls other than TAB and LF, CR, bytes not
// part of well-formed UTF-8, and the non-characters U+FFFE and U+FFFF), the
// text is written in escaped form: "\" becomes "\\" and each such byte
// "\xHH"; the element is then marked esc="1". Well-formed UTF-8 and DEL are
// always written as they are.
class QVXmlText {
 public:
  enum class Scan { Plain, Markup, NeedsEscape };

  // What writing the text requires: nothing, entities only, or the escape.
  static Scan scan(std::string_view text);
  // Writes text in the form scan() chose.
  static void write(QVArchiveOutput& out, std::string_view text, Scan scan);
  // Writes an attribute value (without quotes): markup and both quotes as
  // entities, TAB, LF and CR as character references. Other control bytes
  // and malformed UTF-8 cannot be carried and raise QVException.
  static void writeAttribute(QVArchiveOutput& out, std::string_view text);
  // Undoes the escape of esc="1" text in place; a "\" followed by anything
  // but "\" or "x" and two hex digits raises QVException.
  static void unescape(std::string& text);

  // Length of the well-formed UTF-8 sequence at text[at] that XML may carry
  // (2 to 4), or 0 when the bytes there are not one.
  static size_t utf8SequenceLength(std::string_view text, size_t at);
};

}  // namespace Quorvel
