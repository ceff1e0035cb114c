#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <streambuf>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "support/TestSupport.h"

// AddressSanitizer holds freed blocks back in a quarantine of 256 MB before
// reusing them, so a reader that frees what it skips would still show the
// whole quarantine as growth. A small one keeps the measurement about the
// reader. Other builds never ask for these options.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }

namespace Quorvel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Reads a document's root first as a value (where substituted entity text
// would show), and when the root holds elements, again from the start by
// walking into every element. Returns the exception's message ("no
// exception" when the document is accepted); decoded text is appended to
// `seen` so that a test can check that no forbidden content came through.
std::string ReadHostile(const std::string& document, std::string& seen) {
  std::function<void(QVUnarchiver&)> walk = [&](QVUnarchiver& u) {
    std::string key;
    while (u.nextKey(key)) {
      u.enterElement(key);
      walk(u);
      u.leaveElement(key);
    }
  };
  for (bool asValue : {true, false}) {
    try {
      std::istringstream stream(document);
      std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
      std::string key;
      if (!unarchiver->nextKey(key)) {
        return "no root element";
      }
      if (asValue) {
        std::string value;
        unarchiver->decodeString(key, value);
        seen += value;
      } else {
        unarchiver->enterElement(key);
        walk(*unarchiver);
        unarchiver->leaveElement(key);
      }
      return "no exception";
    } catch (const QVException& e) {
      if (asValue && e.message().find("where a value was expected") != std::string::npos) {
        continue;
      }
      seen += e.message();
      return e.message();
    }
  }
  return "no exception";
}

// A blow-up of work or memory shows as minutes, not seconds; this bound only
// tells such a failure apart from a slow machine.
constexpr auto kBlowUpBound = std::chrono::seconds(30);

class QVUnarchiverHostile : public ::testing::Test {
 protected:
  // Reads the document, expecting a QVException containing `expected`,
  // nothing printed on stderr, and no blow-up.
  void ExpectRejected(const std::string& document, const std::string& expected, std::string* seenOut = nullptr) {
    std::string seen;
    ::testing::internal::CaptureStderr();
    auto start = std::chrono::steady_clock::now();
    std::string message = ReadHostile(document, seen);
    auto elapsed = std::chrono::steady_clock::now() - start;
    std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(message, HasSubstr(expected));
    EXPECT_NE(message, "no exception");
    EXPECT_EQ(printed, "");
    EXPECT_LT(elapsed, kBlowUpBound);
    if (seenOut) *seenOut = seen;
  }
};

TEST_F(QVUnarchiverHostile, BillionLaughsParameterAndExternalEntitiesAndAnyDoctype) {
  std::string document = "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n";
  document += "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
  for (int i = 2; i <= 9; ++i) {
    std::string prev = "&lol" + std::to_string(i - 1) + ";";
    document += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) document += prev;
    document += "\">\n";
  }
  document += "]>\n<lolz>&lol9;</lolz>\n";
  // libxml2 may stop at its own amplification check before the reader
  // reaches the DOCTYPE; either way the document is refused.
  std::string seen;
  ExpectRejected(document, "", &seen);
  EXPECT_THAT(seen, Not(HasSubstr("lol")));

  // A parameter entity pulling in an outside DTD.
  test::ScratchDirectory scratch("qvarchiver");
  std::string dtdPath = scratch.file("evil.dtd");
  std::ofstream(dtdPath) << "<!ENTITY leak \"PARAMETER-MARKER\">";
  ExpectRejected("<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + dtdPath +
                     "\"> %p;]>\n<r>&leak;</r>\n",
                 "", &seen);
  EXPECT_THAT(seen, Not(HasSubstr("PARAMETER-MARKER")));

  // An external entity naming a local file, and any DOCTYPE at all.
  std::string secretPath = scratch.file("secret.txt");
  std::ofstream(secretPath) << "TOP-SECRET-MARKER";
  ExpectRejected("<?xml version=\"1.0\"?>\n<!DOCTYPE r [<!ENTITY xxe SYSTEM \"file://" + secretPath +
                     "\">]>\n<r>&xxe;</r>\n",
                 "DOCTYPE", &seen);
  EXPECT_THAT(seen, Not(HasSubstr("TOP-SECRET")));

  std::string external = "<?xml version=\"1.0\"?>\n<!DOCTYPE r SYSTEM \"file://" + secretPath + "\">\n<r/>";
  ExpectRejected(external, "DOCTYPE", &seen);
  EXPECT_THAT(seen, Not(HasSubstr("TOP-SECRET")));
  // A DOCTYPE alone is refused as well.
  ExpectRejected("<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r>text</r>", "documents with a DOCTYPE are not accepted");
}

TEST_F(QVUnarchiverHostile, GarbageEmptyStreamsAndDeepNestingButAnOrdinaryDocumentPasses) {
  // The walk must not reject what it is meant to accept.
  std::string seen;
  EXPECT_EQ(ReadHostile("<?xml version=\"1.0\"?>\n<r>  value  </r>", seen), "no exception");
  EXPECT_EQ(seen, "  value  ");
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 2654435761u) >> 13));
  ExpectRejected(garbage, "");
  ExpectRejected("", "");
  ExpectRejected("\x1f\x8b", "");
  ExpectRejected("\x1f\x8b\x08\x00garbage-after-a-gzip-magic", "compressed");
  ExpectRejected("<?xml version=\"1.0\"?>", "");
  ExpectRejected("<r>&undefined;</r>", "");
  // "<" and three zero bytes make libxml2 guess UCS-4; its conversion
  // failure is reported on a channel that prints unless redirected (found
  // by the fuzzer).
  ExpectRejected(std::string("<\0\0\0?", 5), "UTF-8");
  ExpectRejected(std::string("\xff\xfe<\0r\0/\0>\0", 8), "UTF-8");
  ExpectRejected("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xe9</r>", "must be UTF-8 encoded, not ISO-8859-1");
  const int depth = 100000;
  std::string nested;
  for (int i = 0; i < depth; ++i) nested += "<a>";
  for (int i = 0; i < depth; ++i) nested += "</a>";
  ExpectRejected(nested, "malformed archive");
}

// Serves the first bytes of a document, then fails as a broken disk would.
class FailingBuffer : public std::streambuf {
 public:
  explicit FailingBuffer(std::string head) : head_(std::move(head)) {
    setg(head_.data(), head_.data(), head_.data() + head_.size());
  }

 protected:
  int_type underflow() override { throw std::runtime_error("device error"); }

 private:
  std::string head_;
};

TEST_F(QVUnarchiverHostile, StreamFailingMidwayRaisesInsteadOfLookingShort) {
  FailingBuffer buffer("<?xml version=\"1.0\"?>\n<Root><A>1</A>");
  std::istream stream(&buffer);
  ::testing::internal::CaptureStderr();
  std::string message = "no exception";
  try {
    std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
    unarchiver->enterElement("Root");
    unarchiver->decodeUnsigned("A");
  } catch (const QVException& e) {
    message = e.message();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(message, "failed to read archive input");
}

// Generates head + piece * count + tail on the fly, so that the test's own
// memory stays small and the reader's growth is what the peak RSS shows.
class RepeatingBuffer : public std::streambuf {
 public:
  RepeatingBuffer(std::string head, std::string piece, uint64_t count, std::string tail)
      : head_(std::move(head)), piece_(std::move(piece)), tail_(std::move(tail)), left_(count) {
    setg(head_.data(), head_.data(), head_.data() + head_.size());
  }

 protected:
  int_type underflow() override {
    if (left_ > 0) {
      // Several pieces per refill keep the generator cheap.
      chunk_.clear();
      for (int i = 0; i < 4096 && left_ > 0; ++i, --left_) chunk_ += piece_;
    } else if (!tailServed_) {
      tailServed_ = true;
      chunk_ = tail_;
    } else {
      return traits_type::eof();
    }
    setg(chunk_.data(), chunk_.data(), chunk_.data() + chunk_.size());
    return traits_type::to_int_type(chunk_[0]);
  }

 private:
  std::string head_, piece_, tail_, chunk_;
  uint64_t left_;
  bool tailServed_ = false;
};

// Peak resident set of this process in kB; writing 5 to clear_refs resets
// the peak so that it measures what follows.
long PeakRssKb(bool reset) {
  if (reset) std::ofstream("/proc/self/clear_refs") << "5";
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// A sanitizer keeps shadow memory beside every byte the program touches:
// about 2 bytes more per byte under AddressSanitizer, 4 under
// ThreadSanitizer, so the same allocations show as a larger peak.
constexpr long kShadowFactor = test::BuildSanitizer() == test::Sanitizer::Thread    ? 5
                                : test::BuildSanitizer() == test::Sanitizer::Address ? 3
                                                                                     : 1;

// Comment and whitespace bombs of 64 MB: the reader refuses them once 16 MB
// of padding went by, and its memory stays far below the document's size.
// 32 MB of growth leaves room for the 16 MB the parser may have buffered; a
// reader that kept the padding would grow by the whole 64 MB and more.
TEST_F(QVUnarchiverHostile, PaddingBombsAreRefusedInBoundedMemory) {
  const uint64_t kBombBytes = uint64_t(64) << 20;
  struct Case {
    const char* name;
    std::string head, piece, tail;
  } cases[] = {
      {"comments inside the root", "<Session>", "<!--x-->", "</Session>"},
      {"whitespace before the root", "", "        ", "<Session/>"},
      {"whitespace between elements", "<Session>", "<a/>    ", "</Session>"},
      {"processing instructions", "<Session>", "<?p x?>", "</Session>"},
  };
  for (const Case& c : cases) {
    RepeatingBuffer buffer(c.head, c.piece, kBombBytes / c.piece.size(), c.tail);
    std::istream stream(&buffer);
    long before = PeakRssKb(true);
    std::string message = "no exception";
    try {
      std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
      std::string key;
      while (unarchiver->nextKey(key)) {
        unarchiver->enterElement(key);
        while (unarchiver->nextKey(key)) unarchiver->skipValueForKey(key);
      }
    } catch (const QVException& e) {
      message = e.message();
    }
    long grown = PeakRssKb(false) - before;
    EXPECT_THAT(message, HasSubstr("more than 16 MB of comments")) << c.name;
    EXPECT_LT(grown, 32 * 1024 * kShadowFactor) << c.name << ": peak RSS grew by " << grown << " kB";
  }
}

// libxml2 compares every attribute of an element with every other before the
// reader sees it; a flood is refused by the input guard before that.
TEST_F(QVUnarchiverHostile, AttributeFloodIsRefusedBeforeParsing) {
  std::string document = "<Session";
  for (int i = 0; i < 100000; ++i) document += " a" + std::to_string(i) + "=\"1\"";
  document += "/>";
  ExpectRejected(document, "more than 256 attributes");
}

// Found by the fuzzer: Boost converted each field with lexical_cast, which
// overflowed on this digit run.
TEST_F(QVUnarchiverHostile, TimeTextOutOfShapeOrRange) {
  for (const char* text : {"2426-12-06T6-1555555555555555%55555:3v", "yesterday", "2026-13-01T00:00:00",
                           "2026-01-01T24:00:00", "0001-01-01T00:00:00", "2026-01-01T00:00:00.1234567890",
                           "2026-01-01T00:00:00."}) {
    std::string document = std::string("<r><T>") + text + "</T></r>";
    std::string message = "no exception";
    try {
      std::istringstream stream(document);
      std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
      unarchiver->enterElement("r");
      boost::posix_time::ptime time;
      unarchiver->decodeTime("T", time);
    } catch (const QVException& e) {
      message = e.message();
    }
    EXPECT_THAT(message, HasSubstr("where a time was expected")) << text;
  }
}

}  // namespace
}  // namespace Quorvel
