#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "archive/QVUniqueArchivable.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "support/ArchiveRoundTrip.h"

namespace Quorvel {
namespace {

using boost::posix_time::ptime;
using ::testing::HasSubstr;

std::string Write(const std::function<void(QVArchiver&)>& body, const QVArchiver::Options& options = {}) {
  return test::ArchiveList("Root", body, options);
}

void Read(const std::string& document, const std::function<void(QVUnarchiver&)>& body) {
  test::UnarchiveList(document, "Root", body);
}

std::string RoundTripString(const std::string& value, bool indent = false) {
  QVArchiver::Options options;
  options.indent = indent;
  std::string document = Write([&](QVArchiver& a) { a.encodeString(value, "Value"); }, options);
  std::string back;
  Read(document, [&](QVUnarchiver& u) { u.decodeString("Value", back); });
  return back;
}

// The message of the QVException that reading the document raises, or
// "no exception".
std::string ReadError(const std::string& document, const std::function<void(QVUnarchiver&)>& body) {
  try {
    Read(document, body);
  } catch (const QVException& e) {
    return e.message();
  }
  return "no exception";
}

// A named leaf that archives once and is referred to afterwards.
class Leaf : public QVUniqueArchivable, public QVUnarchivable {
 public:
  Leaf() = default;
  explicit Leaf(std::string name) : name_(std::move(name)) {}
  void encodeWithArchiver(QVArchiver* archiver) const override { archiver->encodeString(name_, "Name"); }
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override { unarchiver->decodeString("Name", name_); }
  int getCurrentMajorVersion() const override { return 2; }
  int getCurrentMinorVersion() const override { return 1; }
  std::string name_;
};

class OtherLeaf : public QVUniqueArchivable, public QVUnarchivable {
 public:
  void encodeWithArchiver(QVArchiver*) const override {}
  void decodeWithUnarchiver(QVUnarchiver*) override {}
};

class Outer;

// Refers back to the object that holds it, which is still being decoded
// when the reference is read.
class Inner : public QVArchivable, public QVUnarchivable {
 public:
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  std::shared_ptr<Outer> back_;
  std::shared_ptr<Leaf> leaf_;
};

class Outer : public QVUniqueArchivable, public QVUnarchivable {
 public:
  void encodeWithArchiver(QVArchiver* archiver) const override {
    archiver->encodeObject(*leaf_, "Leaf");
    archiver->encodeUnsigned(count_, "Count");
    archiver->encodeObject(*inner_, "Inner");
  }
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override {
    unarchiver->decodeObjectForKey("Leaf", leaf_);
    count_ = unarchiver->decodeUnsigned("Count");
    unarchiver->decodeObjectForKey("Inner", inner_);
  }
  std::shared_ptr<Leaf> leaf_;
  uint64_t count_ = 0;
  std::shared_ptr<Inner> inner_;
};

void Inner::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(*back_, "Back");
  archiver->encodeObject(*leaf_, "Leaf");
}

void Inner::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeObjectForKey("Back", back_);
  unarchiver->decodeObjectForKey("Leaf", leaf_);
}

TEST(QVArchiverFormat, WritesDeclarationObjidVersionObjrefEscapeAndNumberForms) {
  auto leaf = std::make_shared<Leaf>("a<b");
  std::string document = Write([&](QVArchiver& a) {
    a.encodeAttribute("x\"y", "note");
    a.encodeObject(*leaf, "Leaf");
    a.encodeObject(*leaf, "Leaf");
    a.encodeObjectNoShare(*leaf, "Copy");
    a.encodeString("cr\r", "Text");
    a.encodeString("", "Empty");
    a.encodeUnsigned(0, "U0");
    a.encodeUnsigned(0xdeadbeefULL, "U");
    a.encodeSigned(std::numeric_limits<int64_t>::min(), "S");
    a.encodeDouble(2.5, "D");
  });
  EXPECT_EQ(document,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<Root note=\"x&quot;y\">"
            "<Leaf objid=\"1\" version=\"2.1\"><Name>a&lt;b</Name></Leaf>"
            "<Leaf objref=\"1\"/>"
            "<Copy version=\"2.1\"><Name>a&lt;b</Name></Copy>"
            "<Text esc=\"1\">cr\\x0d</Text>"
            "<Empty/>"
            "<U0>0x0</U0><U>0xdeadbeef</U><S>-9223372036854775808</S><D>2.5000000000</D>"
            "</Root>");
}

TEST(QVArchiverFormat, IndentsTwoSpacesPerDepth) {
  QVArchiver::Options options;
  options.indent = true;
  std::string document = Write(
      [&](QVArchiver& a) {
        a.beginList("List");
        a.encodeSigned(-5, "N");
        a.endList("List");
        a.beginList("Nothing");
        a.endList("Nothing");
      },
      options);
  EXPECT_EQ(document,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<Root>\n"
            "  <List>\n"
            "    <N>-5</N>\n"
            "  </List>\n"
            "  <Nothing/>\n"
            "</Root>\n");
}

TEST(QVArchiverValues, BoolCharAndTime) {
  ptime micro = boost::posix_time::from_iso_extended_string("2026-12-05T19:10:40.123456");
  ptime whole = boost::posix_time::from_iso_extended_string("1970-01-01T00:00:00");
  std::string document = Write([&](QVArchiver& a) {
    a.encodeBool(true, "T");
    a.encodeBool(false, "F");
    for (int c = 0; c < 256; ++c) {
      a.encodeChar(static_cast<char>(c), "C");
    }
    a.encodeTime(micro, "Micro");
    a.encodeTime(whole, "Whole");
    a.encodeTime(ptime(), "Nadt");
    a.encodeTime(ptime(boost::date_time::pos_infin), "Pos");
  });
  EXPECT_THAT(document, HasSubstr("<Micro>2026-12-05T19:10:40.123456</Micro>"));
  EXPECT_THAT(document, HasSubstr("<Nadt>not-a-date-time</Nadt>"));
  Read(document, [&](QVUnarchiver& u) {
    bool t = false, f = true;
    u.decodeBool("T", t);
    u.decodeBool("F", f);
    EXPECT_TRUE(t);
    EXPECT_FALSE(f);
    for (int c = 0; c < 256; ++c) {
      char back = 'z';
      u.decodeChar("C", back);
      EXPECT_EQ(static_cast<unsigned char>(back), c);
    }
    ptime back;
    u.decodeTime("Micro", back);
    EXPECT_EQ(back, micro);
    u.decodeTime("Whole", back);
    EXPECT_EQ(back, whole);
    u.decodeTime("Nadt", back);
    EXPECT_TRUE(back.is_not_a_date_time());
    u.decodeTime("Pos", back);
    EXPECT_TRUE(back.is_pos_infinity());
  });
}

TEST(QVArchiverValues, StringsKeepEveryByte) {
  std::string everyByte;
  for (int c = 1; c < 256; ++c) {
    everyByte.push_back(static_cast<char>(c));
  }
  const std::vector<std::string> samples = {
      "", "plain", "<tag attr=\"v\">&amp; ]]> 'quoted'</tag>",
      "non-ASCII: \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
      "invalid UTF-8: \xff\xfe \xc3 \x80 \xed\xa0\x80 \xc0\xaf \xf4\x90\x80\x80",
      "non-characters \xef\xbf\xbe and \xef\xbf\xbf", everyByte, "CR\rLF\nCRLF\r\nTAB\t",
      "  leading and trailing blanks  ", " ", "\n\n", "\t", "backslash \\ and \\x41 literally",
      "backslash \\x41 with a control \x01", std::string("embedded\0NUL", 12), "DEL \x7f",
  };
  // Indentation must not add to or take from a value's text.
  for (bool indent : {false, true}) {
    for (const std::string& sample : samples) {
      EXPECT_EQ(RoundTripString(sample, indent), sample) << "sample of " << sample.size() << " bytes, indent " << indent;
    }
  }
  // A char string reads back as a string; a null one as the empty string.
  Read(Write([&](QVArchiver& a) {
         a.encodeCharString("  spaced  ", "A");
         a.encodeCharString(nullptr, "B");
       }),
       [&](QVUnarchiver& u) {
         std::string a = "x", b = "x";
         u.decodeString("A", a);
         u.decodeString("B", b);
         EXPECT_EQ(a, "  spaced  ");
         EXPECT_EQ(b, "");
       });
}

TEST(QVArchiverValues, NumbersIncludingExtremes) {
  const std::vector<uint64_t> unsignedValues = {0, 1, 0x7fffffffffffffffULL, std::numeric_limits<uint64_t>::max()};
  const std::vector<int64_t> signedValues = {0, -1, 1, std::numeric_limits<int64_t>::min(),
                                             std::numeric_limits<int64_t>::max()};
  // "%.10f" keeps ten decimals, so the doubles are chosen to be exact in it;
  // DBL_MAX prints all 309 integer digits and reads back exactly.
  const std::vector<double> doubles = {0.0, -1.5, 0.0000000001, 123456789.0123456789, 1e15, DBL_MAX, -DBL_MAX};
  std::string document = Write([&](QVArchiver& a) {
    for (uint64_t v : unsignedValues) a.encodeUnsigned(v, "U");
    for (int64_t v : signedValues) a.encodeSigned(v, "S");
    for (double v : doubles) a.encodeDouble(v, "D");
    a.encodeDouble(std::numeric_limits<double>::infinity(), "Inf");
    a.encodeDouble(std::numeric_limits<double>::quiet_NaN(), "NaN");
    a.encodeDouble(1e-11, "Tiny");
  });
  Read(document, [&](QVUnarchiver& u) {
    for (uint64_t v : unsignedValues) EXPECT_EQ(u.decodeUnsigned("U"), v);
    for (int64_t v : signedValues) EXPECT_EQ(u.decodeSigned("S"), v);
    for (double v : doubles) EXPECT_EQ(u.decodeDouble("D"), v);
    EXPECT_EQ(u.decodeDouble("Inf"), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(u.decodeDouble("NaN")));
    // Below the tenth decimal the text form has nothing left.
    EXPECT_EQ(u.decodeDouble("Tiny"), 0.0);
  });
}

TEST(QVArchiverValues, ParsingDetectsTheBaseAndReadsNonNumbersAsZero) {
  // "0x10000000000000000" is one past 64 bits; "09" is not octal.
  const std::pair<const char*, uint64_t> unsignedCases[] = {
      {"0x1f", 31}, {"0X1F", 31}, {"017", 15}, {"17", 17}, {" 42 ", 42},
      {"0xffffffffffffffff", std::numeric_limits<uint64_t>::max()}, {"0x10000000000000000", 0}, {"12abc", 0},
      {"abc", 0}, {"", 0}, {"09", 0}};
  for (const auto& c : unsignedCases) EXPECT_EQ(ParseArchivedUnsigned(c.first), c.second) << c.first;
  const std::pair<const char*, int64_t> signedCases[] = {
      {"-0x10", -16}, {"-9223372036854775808", std::numeric_limits<int64_t>::min()}, {"9223372036854775808", 0},
      {"-12 apples", 0}};
  for (const auto& c : signedCases) EXPECT_EQ(ParseArchivedSigned(c.first), c.second) << c.first;
  const std::pair<const char*, double> doubleCases[] = {{"2.5", 2.5}, {"-1e3", -1000.0}, {"2.5x", 0.0}, {"x", 0.0}};
  for (const auto& c : doubleCases) EXPECT_EQ(ParseArchivedDouble(c.first), c.second) << c.first;
}

TEST(QVArchiverValues, Data) {
  std::vector<std::vector<unsigned char>> blobs;
  for (size_t size = 0; size <= 10; ++size) {
    std::vector<unsigned char> blob(size);
    for (size_t i = 0; i < size; ++i) blob[i] = static_cast<unsigned char>(0xff - i * 37);
    blobs.push_back(blob);
  }
  std::vector<unsigned char> all(256 * 4);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<unsigned char>(i * 7919 >> 3);
  blobs.push_back(all);
  std::string document = Write([&](QVArchiver& a) {
    for (const auto& blob : blobs) a.encodeData(blob.data(), blob.size(), "Blob");
  });
  // RFC 4648's example: "foobar" is "Zm9vYmFy", "fo" is "Zm8=".
  EXPECT_EQ(Write([](QVArchiver& a) { a.encodeData("fo", 2, "B"); }),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root><B>Zm8=</B></Root>");
  Read(document, [&](QVUnarchiver& u) {
    for (const auto& blob : blobs) {
      std::vector<unsigned char> back{1, 2, 3};
      u.decodeData("Blob", back);
      EXPECT_EQ(back, blob);
    }
  });
  std::string bad = "<?xml version=\"1.0\"?><Root><B>Zm8*</B></Root>";
  std::vector<unsigned char> out;
  EXPECT_THAT(ReadError(bad, [&](QVUnarchiver& u) { u.decodeData("B", out); }), HasSubstr("base64"));
}

TEST(QVArchiverObjects, SharedObjectReadsBackAsOneInstanceAcrossNestingUnlessSharingIsOff) {
  auto outer = std::make_shared<Outer>();
  outer->leaf_ = std::make_shared<Leaf>("shared");
  outer->count_ = 7;
  outer->inner_ = std::make_shared<Inner>();
  outer->inner_->back_ = outer;
  outer->inner_->leaf_ = outer->leaf_;
  std::string document = test::ArchiveToString(*outer, "Outer");
  EXPECT_THAT(document, HasSubstr("<Outer objid=\"1\"><Leaf objid=\"2\" version=\"2.1\">"));
  EXPECT_THAT(document, HasSubstr("<Back objref=\"1\"/><Leaf objref=\"2\"/>"));

  auto back = test::UnarchiveFromString<Outer>(document, "Outer");
  ASSERT_TRUE(back && back->leaf_ && back->inner_);
  EXPECT_EQ(back->leaf_->name_, "shared");
  EXPECT_EQ(back->count_, 7u);
  EXPECT_EQ(back->inner_->leaf_.get(), back->leaf_.get());
  EXPECT_EQ(back->inner_->back_.get(), back.get());
  back->inner_->back_.reset();  // break the cycle the test built
  outer->inner_->back_.reset();

  // With sharing off, every copy is written and read back as its own object.
  auto leaf = std::make_shared<Leaf>("twice");
  QVArchiver::Options options;
  options.shareObjects = false;
  const std::string copies = Write(
      [&](QVArchiver& a) {
        a.encodeObject(*leaf, "Leaf");
        a.encodeObject(*leaf, "Leaf");
      },
      options);
  EXPECT_THAT(copies, ::testing::Not(HasSubstr("objid")));
  Read(copies, [&](QVUnarchiver& u) {
    std::shared_ptr<Leaf> first, second;
    u.decodeObjectForKey("Leaf", first);
    u.decodeObjectForKey("Leaf", second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(second->name_, "twice");
  });
}

TEST(QVArchiverObjects, ReferenceToAnotherTypeAndDuplicateObjid) {
  auto written = std::make_shared<Leaf>("x");
  std::string document = Write([&](QVArchiver& a) {
    a.encodeObject(*written, "Leaf");
    a.encodeObject(*written, "Leaf");
  });
  EXPECT_THAT(ReadError(document,
                        [&](QVUnarchiver& u) {
                          std::shared_ptr<Leaf> first;
                          std::shared_ptr<OtherLeaf> other;
                          u.decodeObjectForKey("Leaf", first);
                          u.decodeObjectForKey("Leaf", other);
                        }),
              HasSubstr("names an object of another type"));

  std::string duplicate = "<?xml version=\"1.0\"?><Root><Leaf objid=\"1\"><Name/></Leaf>"
                          "<Leaf objid=\"1\"><Name/></Leaf></Root>";
  std::shared_ptr<Leaf> leaf;
  EXPECT_THAT(ReadError(duplicate,
                        [&](QVUnarchiver& u) {
                          u.decodeObjectForKey("Leaf", leaf);
                          u.decodeObjectForKey("Leaf", leaf);
                        }),
              HasSubstr("duplicate objid 1"));
}

TEST(QVArchiverCursor, ListsVersionsOptionalKeysSkippingAndLeavingUnreadChildren) {
  std::vector<std::shared_ptr<Leaf>> leaves = {std::make_shared<Leaf>("a"), std::make_shared<Leaf>("b")};
  auto skipped = std::make_shared<Leaf>("skipped");
  std::string document = Write([&](QVArchiver& a) {
    a.encodeString("one", "First");
    a.encodeObject(*skipped, "Leaf");
    a.beginList("Leaves");
    for (const auto& leaf : leaves) a.encodeObject(*leaf, "Leaf");
    a.endList("Leaves");
    a.beginList("Empty");
    a.endList("Empty");
    a.beginList("Nested");
    a.beginList("Deeper");
    a.encodeString("unread", "Value");
    a.endList("Deeper");
    a.encodeString("unread too", "Value");
    a.endList("Nested");
    a.encodeString("last", "Last");
  });
  Read(document, [&](QVUnarchiver& u) {
    int major = -1, minor = -1;
    u.objectVersion(major, minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    EXPECT_FALSE(u.hasValueForKey("Missing"));
    EXPECT_TRUE(u.hasValueForKey("First"));
    std::string key;
    ASSERT_TRUE(u.nextKey(key));
    EXPECT_EQ(key, "First");
    u.skipValueForKey("First");
    u.skipValueForKey("Leaf");
    u.enterElement("Leaves");
    std::vector<std::string> names;
    while (u.hasValueForKey("Leaf")) {
      u.enterElement("Leaf");
      u.objectVersion(major, minor);
      EXPECT_EQ(major, 2);
      EXPECT_EQ(minor, 1);
      std::string name;
      u.decodeString("Name", name);
      names.push_back(name);
      u.leaveElement("Leaf");
    }
    u.leaveElement("Leaves");
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
    u.enterElement("Empty");
    EXPECT_FALSE(u.nextKey(key));
    u.leaveElement("Empty");
    u.enterElement("Nested");
    EXPECT_TRUE(u.hasValueForKey("Deeper"));
    u.leaveElement("Nested");
    std::string last;
    u.decodeString("Last", last);
    EXPECT_EQ(last, "last");
    EXPECT_FALSE(u.nextKey(key));
  });
}

TEST(QVArchiverCursor, UnexpectedKeysNameWhatWasFoundAndTheLine) {
  QVArchiver::Options options;
  options.indent = true;
  std::string document = Write(
      [&](QVArchiver& a) {
        a.encodeString("a", "A");
        a.encodeString("c", "C");
      },
      options);
  // Line 1 is the declaration, line 2 the root, so "C" is on line 4.
  std::string text;
  EXPECT_EQ(ReadError(document,
                      [&](QVUnarchiver& u) {
                        u.decodeString("A", text);
                        u.decodeString("B", text);
                      }),
            "expected element 'B' but found 'C' at line 4");
  EXPECT_THAT(ReadError(document,
                        [&](QVUnarchiver& u) {
                          u.decodeString("A", text);
                          u.decodeString("C", text);
                          u.decodeString("D", text);
                        }),
              HasSubstr("expected element 'D' but found the end of 'Root' at line"));
  EXPECT_THAT(ReadError(document, [&](QVUnarchiver& u) { u.leaveElement("Other"); }),
              HasSubstr("leaving element 'Other'"));
}

TEST(QVArchiverCursor, MalformedValuesRaise) {
  std::string text;
  bool flag;
  EXPECT_THAT(ReadError("<Root><B>maybe</B></Root>", [&](QVUnarchiver& u) { u.decodeBool("B", flag); }),
              HasSubstr("where true or false was expected"));
  EXPECT_THAT(ReadError("<Root><S esc=\"1\">bad \\q</S></Root>", [&](QVUnarchiver& u) { u.decodeString("S", text); }),
              HasSubstr("malformed escape"));
  EXPECT_THAT(ReadError("<Root><S esc=\"1\">cut \\x4</S></Root>", [&](QVUnarchiver& u) { u.decodeString("S", text); }),
              HasSubstr("malformed escape"));
  EXPECT_THAT(ReadError("<Root><S><X/></S></Root>", [&](QVUnarchiver& u) { u.decodeString("S", text); }),
              HasSubstr("where a value was expected"));
  EXPECT_THAT(ReadError("<Root>stray<S/></Root>", [&](QVUnarchiver& u) { u.decodeString("S", text); }),
              HasSubstr("unexpected text"));
  // Without esc="1" a backslash is an ordinary character, and CDATA and
  // character references are part of a value's text.
  Read("<Root><S>a\\x41<![CDATA[<b>]]>&#x263A;&#13;</S></Root>", [&](QVUnarchiver& u) {
    u.decodeString("S", text);
    EXPECT_EQ(text, "a\\x41<b>\xe2\x98\xba\r");
  });
}

TEST(QVArchiverWriter, AttributesRoundTripAndRejectWhatXmlCannotCarry) {
  std::string value = "quote \" apostrophe ' tab\t lf\n cr\r <&> \xc3\xa9";
  std::string document = Write([&](QVArchiver& a) {
    a.encodeAttribute(value, "note");
    a.encodeAttribute("urn:example", "xmlns");
    a.encodeAttribute("http://www.w3.org/2001/XMLSchema-instance", "xmlns:xsi");
    a.encodeAttribute("VeskFileFormat.xsd", "xsi:schemaLocation");
    a.encodeString("inside the namespace", "Child");
  });
  Read(document, [&](QVUnarchiver& u) {
    std::string back;
    ASSERT_TRUE(u.attributeValue("xsi:schemaLocation", back));
    EXPECT_EQ(back, "VeskFileFormat.xsd");
    u.decodeString("Child", back);
    EXPECT_EQ(back, "inside the namespace");
    EXPECT_TRUE(u.hasAttribute("note"));
    EXPECT_FALSE(u.hasAttribute("missing"));
    ASSERT_TRUE(u.attributeValue("note", back));
    EXPECT_EQ(back, value);
  });
  std::ostringstream sink;
  auto archiver = QVArchiver::createArchiver(sink);
  archiver->beginList("Root");
  EXPECT_THROW(archiver->encodeAttribute("bell\x07", "a"), QVException);
  EXPECT_THROW(archiver->encodeAttribute("\xff", "a"), QVException);
  archiver->encodeString("x", "Child");
  EXPECT_THROW(archiver->encodeAttribute("late", "a"), QVException);
}

TEST(QVArchiverWriter, FinishClosesOpenElementsAndRefusesSecondRootLateEncodingAndStreamFailure) {
  std::ostringstream sink;
  auto archiver = QVArchiver::createArchiver(sink);
  archiver->beginList("Root");
  archiver->beginList("Open");
  archiver->encodeSigned(3, "N");
  archiver->finish();
  EXPECT_EQ(sink.str(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Root><Open><N>3</N></Open></Root>");
  EXPECT_THROW(archiver->encodeString("z", "Third"), QVException);
  auto second = QVArchiver::createArchiver(sink);
  second->encodeString("x", "First");
  EXPECT_THROW(second->encodeString("y", "Second"), QVException);

  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  auto failing = QVArchiver::createArchiver(broken);
  failing->encodeString("x", "Root");
  EXPECT_THROW(failing->finish(), QVException);
}

// Compressed documents round-trip in the truncation test below and as
// session files; what only the archiver shows is an early flush.
TEST(QVArchiverGzip, AFlushPutsOutWhatWasCompressedSoFarBeforeTheDocumentEnds) {
  QVArchiver::Options options;
  options.compress = true;
  std::ostringstream sink;
  auto archiver = QVArchiver::createArchiver(sink, options);
  archiver->beginList("Root");
  archiver->encodeString("early", "A");
  archiver->flush();
  std::string early = sink.str();
  EXPECT_GT(early.size(), 10u);
  archiver->endList("Root");
  archiver->finish();
  EXPECT_GT(sink.str().size(), early.size());
}

void ReadSmallDocument(const std::string& document) {
  Read(document, [](QVUnarchiver& u) {
    std::shared_ptr<Leaf> leaf, again;
    u.decodeObjectForKey("Leaf", leaf);
    u.decodeObjectForKey("Leaf", again);
    std::string text;
    u.decodeString("Text", text);
    u.skipValueForKey("List");
  });
}

std::string SmallDocument(bool compress) {
  auto leaf = std::make_shared<Leaf>("leaf");
  QVArchiver::Options options;
  options.compress = compress;
  return Write(
      [&](QVArchiver& a) {
        a.encodeObject(*leaf, "Leaf");
        a.encodeObject(*leaf, "Leaf");
        a.encodeString("a\r<b>", "Text");
        a.beginList("List");
        a.encodeUnsigned(1, "N");
        a.endList("List");
      },
      options);
}

TEST(QVArchiverTruncation, EveryPrefixAndTrailingContentRaise) {
  for (bool compress : {false, true}) {
    std::string document = SmallDocument(compress);
    ASSERT_NO_THROW(ReadSmallDocument(document));
    for (size_t length = 0; length < document.size(); ++length) {
      EXPECT_THROW(ReadSmallDocument(document.substr(0, length)), QVException)
          << (compress ? "compressed" : "plain") << " prefix of " << length << " bytes";
    }
    EXPECT_THROW(ReadSmallDocument(document + "junk"), QVException) << compress;
  }
  EXPECT_THROW(ReadSmallDocument(SmallDocument(false) + "<Root/>"), QVException);
}

// Leaf knows format 2.1: a file from a newer writer is read with one warning
// per element name, never one per object; older or equal versions are quiet.
TEST(QVArchiverVersions, NewerFormatVersionsAreReadWithOneWarning) {
  struct Case {
    const char* version;
    bool warned;
  } cases[] = {{"3.0", true}, {"2.2", true}, {"2.1", false}, {"1.9", false}};
  for (const Case& c : cases) {
    const std::string leaf = std::string("<Leaf version=\"") + c.version + "\"><Name>n</Name></Leaf>";
    std::istringstream stream("<Root>" + leaf + leaf + "</Root>");
    std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
    unarchiver->enterElement("Root");
    std::shared_ptr<Leaf> first, second;
    std::string log;
    StartCaptureLog();
    unarchiver->decodeObjectForKey("Leaf", first);
    unarchiver->decodeObjectForKey("Leaf", second);
    StopCaptureLog(log);
    EXPECT_EQ("n", second->name_) << c.version;
    const std::string warning = std::string("element 'Leaf' has format version ") + c.version +
                                ", newer than version 2.1 that this reader knows";
    const size_t at = log.find(warning);
    EXPECT_EQ(c.warned, at != std::string::npos) << c.version << ": " << log;
    if (c.warned) {
      EXPECT_EQ(std::string::npos, log.find(warning, at + 1)) << "warned twice";
    }
  }
}

}  // namespace
}  // namespace Quorvel
